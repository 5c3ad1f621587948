// The trade folder listing and the file list a copy sends its peer right after connecting.
//
// "§§§-SendFileList-§§§" is followed by three lines per offered file: name, type, size. An empty
// line would end the message early, so an empty type (a name without a dot) travels as one space
// and is read back as empty.

#include "app/MainForm.h"

#include "common/AnsiText.h"
#include "common/GuiThread.h"
#include "trade/TradeFolder.h"

#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>

namespace {
const QString kSendFileList = QStringLiteral("§§§-SendFileList-§§§");
const QByteArray kEmptyFieldOnWire = QByteArrayLiteral(" ");
constexpr int kNameBytesRole = Qt::UserRole;

QByteArray wireField(const QString& text) {
    return text.isEmpty() ? kEmptyFieldOnWire : ansi::encode(text);
}
} // namespace

void TForm1::ListTradeFolder() {
    ListView2->clear();
    for (const TradeFileEntry& entry : listTradeFolder(Edit4->text())) {
        auto* item = new QTreeWidgetItem(ListView2, {entry.name, entry.type, entry.size});
        item->setCheckState(0, Qt::Unchecked);
        item->setData(0, kNameBytesRole, ansi::encode(entry.name));
    }
}

void TForm1::SendFileList() {
    QList<QByteArray> lines;
    runOn(this, [&] {
        for (int i = 0; i < ListView2->topLevelItemCount(); ++i) {
            const QTreeWidgetItem* item = ListView2->topLevelItem(i);
            lines << item->data(0, kNameBytesRole).toByteArray() << wireField(item->text(1))
                  << wireField(item->text(2));
        }
    });
    auto lock = TradeClient->lockMessage();
    if (TradeClient->Connected())
        TradeClient->SendLine(kSendFileList);
    for (const QByteArray& line : std::as_const(lines))
        if (TradeClient->Connected())
            TradeClient->SendLine(line);
    TradeClient->Disconnect();
    TradeClient->Connect();
}

void TForm1::BitBtn19Click() {
    BitBtn20->setEnabled(true);
    WeAccepted = false;
    PeerAccepted = false;
}

void TForm1::BitBtn20Click() {}

void TForm1::AskForTrade() {}

QString TForm1::TradeSummary() const {
    return {};
}

void TForm1::TradeServerAccept(TTcpServer*, TCustomIpClient*) {}

void TForm1::ListView1ColumnClick(int) {}

void TForm1::ListView2ColumnClick(int) {}

void TForm1::DownloadServerClientRead(TServerSocket*, QTcpSocket*) {}

void TForm1::Timer1Timer() {
    Timer1->stop();
}

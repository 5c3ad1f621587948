#include "windows/HelpWindow.h"

#include <QCloseEvent>
#include <QEventLoop>
#include <QPlainTextEdit>
#include <QVBoxLayout>

namespace {
constexpr QPoint kHelpPosition(346, 182);
constexpr QSize kHelpSize(386, 404);
} // namespace

QStringList helpLines() {
    return {"1. If you want to use Vorlax, please deactivate the",
            "    Windows-Firewall.",
            "    (Properties of your Internet-connection, More Options, deactivate firewall).",
            "",
            "2. Check those files you want to download, then press Trade.",
            "    If both press agree Viredov starts the download and upload",
            "    of the files.",
            "",
            "3. You have to change the local and remote download prot.",
            "    For example:",
            "       You have Local-download : 400; Remote-download: 500;",
            "       He has Local-download : 500; Remote-download: 400;",
            "",
            "4. If you want to change the Ports, you have to be offline (Vorlax",
            "    not your Internet-Connection).",
            "",
            "5. Both PC have to execut an online Vorlax ."};
}

TForm3::TForm3(QWidget* parent) : QDialog(parent) {
    setWindowTitle("Help");
    move(kHelpPosition);
    resize(kHelpSize);
    auto* box = new QVBoxLayout(this);
    box->setContentsMargins(0, 0, 0, 0);
    Memo1 = new QPlainTextEdit(this);
    Memo1->setObjectName("Memo1");
    Memo1->setAccessibleName("Help");
    Memo1->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    Memo1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    Memo1->setPlainText(helpLines().join('\n'));
    box->addWidget(Memo1);
}

void TForm3::showModal() {
    setWindowModality(Qt::ApplicationModal);
    show();
    raise();
    QEventLoop loop;
    while (isVisible())
        loop.processEvents(QEventLoop::WaitForMoreEvents);
    setWindowModality(Qt::NonModal);
}

void TForm3::closeEvent(QCloseEvent* event) {
    hide(); // closing only hides; the window lives until the program ends
    event->ignore();
}

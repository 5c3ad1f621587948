// TForm1's construction, its components and event wiring, the error guard and the chat log.

#include "app/MainForm.h"

#include "app/Settings.h"
#include "board/BoardView.h"
#include "chat/ChatLog.h"
#include "common/GuiThread.h"
#include "common/ProgramFolder.h"
#include "common/ProgramError.h"
#include "net/StatusIcons.h"
#include "trade/TradeRules.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QColorDialog>
#include <QDir>
#include <QFileDialog>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStandardPaths>
#include <QTimer>
#include <QToolButton>
#include <QTreeWidget>

#include <algorithm>
#include <functional>
#include <type_traits>

namespace {
constexpr int kNextFileIntervalMs = 3000;
constexpr int kPlotPumpIntervalMs = 2;
constexpr int kKeeperIntervalMs = 1500;
constexpr qsizetype kMaxChatMessageBytes = 1024 * 1024; // all lines of one received message
const QString kProductTitle = QStringLiteral("Vorlax");

QString withTrailingSlash(const QString& folder) {
    return folder.endsWith('/') ? folder : folder + '/';
}

QString defaultFolder(QStandardPaths::StandardLocation location) {
    const QString folder = QStandardPaths::writableLocation(location);
    return withTrailingSlash(folder.isEmpty() ? QDir::homePath() : folder);
}

// The status ball as the icon view shows it: drawn for the pixels of the screen it is on.
QPixmap statusBallFor(const QWidget* view, int index) {
    return QPixmap::fromImage(statusBall(index, view->devicePixelRatioF()));
}
} // namespace

TForm1::TForm1(const QString& programFolder, FormDialogs dialogs, QWidget* parent)
    : QMainWindow(parent), programFolder_(withTrailingSlash(
                               programFolder.isEmpty() ? ::programFolder() : programFolder)),
      network_(std::make_unique<NetworkThread>()) {
    setDialogs(dialogs);
    setWindowTitle(kProductTitle);
    // The window keeps the desktop's font; the few larger texts are sized relative to it.
    move(kDefaultWindowLeft, kDefaultWindowTop);
    setOuterSize(kDefaultWindowWidth, kDefaultWindowHeight);
    buildControls();
    buildComponents();
    setObjectNames();
    setAccessibleNames();
    wireHandlers();
    setUpDiscovery();
    setUpEncryption();
    FormCreate();
}

TForm1::~TForm1() {
    if (!closed_)
        FormClose();
    // The network thread has ended with the close: nothing reports to the endpoints any more.
    delete DownloadServer;
    delete DownloadClient;
}

QString TForm1::settingsPath() const {
    return programFolder_ + QStringLiteral("Vorlax.ini");
}
QString TForm1::peerListPath() const {
    return programFolder_ + QStringLiteral("Connect.ini");
}

void TForm1::setDialogs(const FormDialogs& dialogs) {
    dialogs_ = dialogs;
    if (!dialogs_.showError)
        dialogs_.showError = [this](const QString& text) {
            QMessageBox::critical(this, kProductTitle, text);
        };
    if (!dialogs_.showMessage)
        dialogs_.showMessage = [this](const QString& text) {
            QMessageBox::information(isVisible() ? this : nullptr, kProductTitle, text);
        };
    if (!dialogs_.confirm)
        dialogs_.confirm = [this](const QString& question) {
            return QMessageBox::question(this, kProductTitle, question) == QMessageBox::Yes;
        };
    if (!dialogs_.chooseColor)
        dialogs_.chooseColor = [this](quint32 current) -> std::optional<quint32> {
            const QColor start(platformColorToRgb(current));
            const QColor chosen = QColorDialog::getColor(start, this);
            if (!chosen.isValid())
                return std::nullopt;
            return quint32(chosen.red()) | quint32(chosen.green()) << 8 |
                   quint32(chosen.blue()) << 16;
        };
    if (!dialogs_.chooseSaveFile)
        dialogs_.chooseSaveFile = [this](const QString& lastName) {
            // The slots are written as BMP, so that is what the dialog offers and appends.
            QFileDialog dialog(this, QString(), lastName, QStringLiteral("BMP (*.bmp)"));
            dialog.setAcceptMode(QFileDialog::AcceptSave);
            dialog.setDefaultSuffix(QStringLiteral("bmp"));
            dialog.setOption(QFileDialog::DontConfirmOverwrite);
            dialog.setOption(QFileDialog::ReadOnly, false);
            return dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty()
                       ? dialog.selectedFiles().first()
                       : QString();
        };
}

void TForm1::buildComponents() {
    auto client = [this] { return std::make_unique<TTcpClient>(*network_, windowMail_); };
    auto server = [this] { return std::make_unique<TTcpServer>(*network_, windowMail_); };
    ChatClient = client();
    ChatServer = server();
    TradeClient = client();
    TradeServer = server();
    Plot_Client = client();
    Plot_Server = server();
    ConnectCl = client();  // spare, never opened
    ConnectSer = server(); // spare, never opened
    ChatClient->setRemotePort("484");
    ChatServer->setLocalPort("483");
    TradeClient->setRemotePort("488");
    TradeServer->setLocalPort("488");
    Plot_Client->setRemotePort("488");
    Plot_Server->setLocalPort("488");
    setMessageShapes();

    for (int i = 0; i < 3; ++i)
        ImageList1.append(statusBall(i));
    Image1->setPixmap(statusBallFor(Image1, kStatusOffline)); // the initial picture: a red ball
    Image1->installEventFilter(this); // drawn again for a screen of another pixel ratio

    for (int slot = 0; slot < 5; ++slot) {
        slotPictures[slot] = initialSlotPicture();
        slotViews[slot]->setPixmap(QPixmap::fromImage(slotPictures[slot]));
    }

    Timer1 = new QTimer(this);
    Timer1->setInterval(kNextFileIntervalMs);
    Timer2 = new QTimer(this);
    Timer2->setTimerType(Qt::PreciseTimer);
    Timer2->setInterval(kPlotPumpIntervalMs);
    Timer3 = new QTimer(this);
    Timer3->setInterval(kKeeperIntervalMs);

    // Options page defaults; the settings file replaces them when it exists.
    Edit1->setText(defaultFolder(QStandardPaths::DownloadLocation));
    Edit4->setText(defaultFolder(QStandardPaths::PublicShareLocation));
    const std::array<QLineEdit*, kSettingsFieldCount> fields = settingsFields();
    for (int i = 2; i < kSettingsFieldCount; ++i)
        fields[i]->setText(QString::fromUtf8(kSettingsDefaults[i]));
}

std::array<QLineEdit*, kSettingsFieldCount> TForm1::settingsFields() const {
    return {Edit1,  Edit4,  Edit5,  Edit6,  Edit7, Edit8,  Edit10, Edit11, Edit12,
            Edit13, Edit14, Edit16, Edit17, Edit9, Edit15, Edit18, Edit19, Edit20};
}

namespace {
// Connects a signal to a handler that runs through the window's error guard. The handler is a
// member function (or a callable taking the window first); it gets the signal's arguments when it
// takes them.
template <class Sender, class Signal, class Handler>
void wire(TForm1* form, Sender* sender, Signal signal, Handler handler) {
    QObject::connect(sender, signal, form, [form, handler](const auto&... args) {
        form->guarded([&] {
            if constexpr (std::is_invocable_v<Handler, TForm1*, decltype(args)...>)
                std::invoke(handler, form, args...);
            else
                std::invoke(handler, form);
        });
    });
}

// The same for the board's plain callbacks.
template <class... Args>
std::function<void(Args...)> guardedCall(TForm1* form, void (TForm1::*handler)(Args...)) {
    return [form, handler](Args... args) { form->guarded([&] { (form->*handler)(args...); }); };
}
} // namespace

// How each line channel's messages end, and how large they may be. A chat message is all its lines
// together, at most what any chat line could be; a trade message's kind (its first line) says
// whether data lines follow; a plot record is one line.
void TForm1::setMessageShapes() {
    ChatServer->shape.maxBytes = kMaxChatMessageBytes;
    ChatServer->shape.countLineEnds = false;
    TradeServer->shape.lengthOf = [](const QByteArray& firstLine) {
        const TradeMessage message = tradeMessageOf(firstLine);
        if (message == TradeMessage::Unknown)
            return MessageShape::Length::Drop;
        return carriesDataLines(message) ? MessageShape::Length::UntilEmpty
                                         : MessageShape::Length::OneLine;
    };
    TradeServer->shape.maxLines = kMaxTradeMessageLines;
    TradeServer->shape.maxBytes = kMaxTradeMessageBytes;
    Plot_Server->shape.lengthOf = [](const QByteArray&) { return MessageShape::Length::OneLine; };
}

void TForm1::wireHandlers() {
    const auto clicked = &QAbstractButton::clicked;
    wire(this, BitBtn16, clicked, &TForm1::BitBtn16Click);
    wire(this, BitBtn17, clicked, &TForm1::BitBtn17Click);
    wire(this, BitBtn18, clicked, &TForm1::BitBtn18Click);
    wire(this, BitBtn19, clicked, &TForm1::BitBtn19Click);
    wire(this, BitBtn20, clicked, &TForm1::BitBtn20Click);
    wire(this, Button6, clicked, &TForm1::Button6Click);
    wire(this, SpeedButton3, clicked, &TForm1::SpeedButton3Click);
    wire(this, CheckBox1, clicked, &TForm1::CheckBox1Click);
    wire(this, SpeedButton1, clicked, &TForm1::SpeedButton1Click);
    wire(this, SpeedButton2, clicked, &TForm1::SpeedButton2Click);
    // A folder typed or pasted with a line break is taken back, with a word why: each setting is
    // one line of the settings file. The edit is undone after the field has finished it.
    for (QLineEdit* field : {Edit1, Edit4})
        wire(this, field, &QLineEdit::textEdited, [field](TForm1* f, const QString& text) {
            if (holdsLineBreak(text))
                later(f, [f, field] {
                    field->undo();
                    f->dialogs_.showMessage(kFolderLineBreakMessage);
                });
        });
    for (int slot = 0; slot < 5; ++slot) {
        wire(this, slotButtons[slot], clicked, [slot](TForm1* f) { f->saveSlot(slot); });
        wire(this, slotButtons[5 + slot], clicked, [slot](TForm1* f) { f->restoreSlot(slot); });
        wire(this, slotButtons[10 + slot], clicked, [slot](TForm1* f) { f->saveSlotToFile(slot); });
    }
    wire(this, ListBox1, &QListWidget::itemClicked, &TForm1::ListBox1Click);
    wire(this, ListBox1, &QWidget::customContextMenuRequested, [](TForm1* f, const QPoint& at) {
        if (QListWidgetItem* item = f->ListBox1->itemAt(at))
            f->ListBox1->setCurrentItem(item);
        f->PopupMenu1->popup(f->ListBox1->viewport()->mapToGlobal(at));
    });
    wire(this, Delete1, &QAction::triggered, &TForm1::Delete1Click);
    wire(this, Exit1, &QAction::triggered, &TForm1::Exit1Click);
    wire(this, info1, &QAction::triggered, &TForm1::info1Click);
    wire(this, Help1, &QAction::triggered, &TForm1::Help1Click);
    wire(this, Timer1, &QTimer::timeout, &TForm1::Timer1Timer);
    wire(this, Timer2, &QTimer::timeout, &TForm1::Timer2Timer);
    wire(this, Timer3, &QTimer::timeout, &TForm1::Timer3Timer);
    Image2->onMouseDown = guardedCall(this, &TForm1::Image2MouseDown);
    Image2->onMouseMove = guardedCall(this, &TForm1::Image2MouseMove);
    Image2->onMouseUp = guardedCall(this, &TForm1::Image2MouseUp);
    Edit3->installEventFilter(this);
    Panel4->installEventFilter(this);
    // A failing accept handler ends silently; the listener carries on.
    ChatServer->OnAccept = [this](TTcpServer* s, LineMessage m) { ChatServerAccept(s, m); };
    Plot_Server->OnAccept = [this](TTcpServer* s, LineMessage m) { Plot_ServerAccept(s, m); };
    TradeServer->OnAccept = [this](TTcpServer* s, LineMessage m) {
        TradeServerAccept(s, std::move(m));
    };
    wire(this, ListView1->header(), &QHeaderView::sectionClicked, &TForm1::ListView1ColumnClick);
    wire(this, ListView2->header(), &QHeaderView::sectionClicked, &TForm1::ListView2ColumnClick);
    chatLog_ = new ChatLogFeed(Memo1);
    // The plot pump starts when there is something to send (wakePlotPump).
    Timer3->start();
}

namespace {
QString withFullStop(QString text) {
    if (!text.endsWith('.'))
        text += '.';
    return text;
}
} // namespace

// A plain GUI handler's error is shown at once, as the handler ends; only while another box is up
// does it wait its turn.
void TForm1::guarded(const std::function<void()>& handler) {
    const QString failure = failureOf(handler);
    if (failure.isEmpty())
        return;
    if (boxShowing_)
        reportError(failure);
    else
        dialogs_.showError(withFullStop(failure));
}

void TForm1::reportError(const QString& message) {
    const QString text = withFullStop(message);
    queueBox(QStringLiteral("error:") + text, [this, text] { dialogs_.showError(text); });
}

void TForm1::showQueuedMessage(const QString& text) {
    queueBox(QStringLiteral("message:") + text, [this, text] { dialogs_.showMessage(text); });
}

// A box runs a nested event loop, which may delete a socket or state its caller still uses: so no
// box opens inside the handler that asked for it. Boxes asked for while one is up wait for it. A
// box the same as one already waiting is not queued again, so errors a peer provokes over and
// over cost one box, not one per time.
void TForm1::queueBox(const QString& key, std::function<void()> show) {
    if (!boxesWaiting_.insert(key).second)
        return;
    later(this, [this, key, show = std::move(show)] {
        pendingBoxes_.push_back({key, show});
        showQueuedBoxes();
    });
}

void TForm1::showQueuedBoxes() {
    if (boxShowing_)
        return;
    boxShowing_ = true;
    while (!pendingBoxes_.empty()) {
        const auto [key, show] = pendingBoxes_.front();
        pendingBoxes_.pop_front();
        boxesWaiting_.erase(key); // shown from now on: a new one may wait again
        show();
    }
    boxShowing_ = false;
}

void TForm1::appendChatLog(const QString& line) {
    chatLog_->append(line);
}

void TForm1::showStatusIcon(int index) {
    VORLAX_ON_THREAD_OF(this);
    statusIconIndex = index;
    Image1->setPixmap(statusBallFor(Image1, index));
    const QString text = statusBallText(index, portsNotListening);
    Image1->setToolTip(text);
    Image1->setAccessibleDescription(text);
}

bool TForm1::eventFilter(QObject* watched, QEvent* event) {
    if (watched == Panel4 && event->type() == QEvent::Resize)
        Panel4Resize();
    if (watched == Image1 && event->type() == QEvent::ScreenChangeInternal)
        Image1->setPixmap(statusBallFor(Image1, std::max(statusIconIndex, kStatusOffline)));
    if (watched == Edit3 && event->type() == QEvent::KeyPress)
        guarded([&] { Edit3KeyDown(static_cast<QKeyEvent*>(event)->key()); });
    if (watched == Edit3 && event->type() == QEvent::MouseButtonRelease)
        guarded([this] { Edit3Click(); });
    return QMainWindow::eventFilter(watched, event);
}

void TForm1::closeEvent(QCloseEvent* event) {
    if (!closed_)
        FormClose();
    event->accept();
    emit formClosed();
}

void TForm1::resizeEvent(QResizeEvent* event) {
    QMainWindow::resizeEvent(event);
    applyPendingOuterSize();
    guarded([this] { FormResize(); });
}

// The platform learns the window's frame when it puts the window on screen, right after the show
// event, or (with a window manager that decorates it later) with a move or a resize after that.
void TForm1::setVisible(bool visible) {
    QMainWindow::setVisible(visible);
    applyPendingOuterSize();
}

void TForm1::moveEvent(QMoveEvent* event) {
    QMainWindow::moveEvent(event);
    applyPendingOuterSize();
}

// The controls are laid out only when the window is shown, after its first resize event has been
// delivered: the board takes the view's laid-out size here, so it is drawable in full from the
// start rather than from the keeper's first tick. A window coming back from the system (restored
// from an icon) keeps its layout and needs nothing.
void TForm1::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    if (!event->spontaneous())
        guarded([this] { FormResize(); });
}

void TForm1::Panel4Resize() {
    Edit3->setGeometry(0, 0, Panel4->width(), Panel4->height());
}

void TForm1::Exit1Click() {
    close();
}

void TForm1::info1Click() {
    if (dialogs_.showInfo)
        dialogs_.showInfo();
}

void TForm1::Help1Click() {
    if (dialogs_.showHelp)
        dialogs_.showHelp();
}

#pragma once
// TForm1, the main window. It owns every control, every channel endpoint, the timers and the
// program-wide state, and holds every event handler. The handlers are defined in the folder of
// their subsystem (net/Connection.cpp, chat/Chat.cpp, board/Canvas.cpp ...); this header only
// declares them.

#include "app/EncryptionChoice.h"
#include "app/Settings.h"
#include "board/Board.h"
#include "common/GuiThread.h"
#include "common/ReportedOnce.h"
#include "crypto/VerifyCode.h"
#include "crypto/VerifyLimiter.h"
#include "net/ChannelSecurity.h"
#include "net/Discovery.h"
#include "net/LinkState.h"
#include "net/NetworkThread.h"
#include "net/Pairings.h"
#include "net/SessionPolicy.h"
#include "net/TcpChannel.h"
#include "trade/AskedFiles.h"
#include "trade/EventSockets.h"
#include "trade/FileHeader.h"
#include "trade/OfferedFiles.h"
#include "trade/TradeAgreement.h"
#include "trade/TradeRules.h"
#include "trade/UploadPauses.h"
#include "windows/VerifyDialog.h"

#include <QElapsedTimer>
#include <QImage>
#include <QMainWindow>
#include <QPointer>
#include <QSet>
#include <QStringList>

#include <array>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>

class AvahiClient;
class BoardView;
class ChatLogFeed;
class EncryptionLock;
class QAction;
class QCheckBox;
class QComboBox;
class QFrame;
class QLabel;
class QLineEdit;
class QListWidget;
class QMenu;
class QMenuBar;
class QPlainTextEdit;
class QPushButton;
class QSplitter;
class QStatusBar;
class QTabWidget;
class QTimer;
class QToolButton;
class QTreeWidget;
class QTcpSocket;
class TransferBar;

// What the window asks of the user through modal boxes and dialogs. The defaults show the real
// boxes; tests put in their own answers.
struct FormDialogs {
    std::function<void(const QString& text)> showError;   // standard error box
    std::function<void(const QString& text)> showMessage; // plain message box with one OK button
    std::function<std::optional<quint32>(quint32 current)> chooseColor;
    std::function<QString(const QString& lastName)> chooseSaveFile; // empty: cancelled
    std::function<QString()> chooseFolder;                          // the folder chooser's result
    std::function<void()> showInfo;
    std::function<void()> showHelp;
    std::function<bool(const QString& question)> confirm; // a Yes/No box: true for Yes
};

// What a Connect's network step found: which clients connected, and to which address.
struct ConnectResult {
    bool chat = false, trade = false, plot = false;
    quint32 peer = 0;   // the chat client's address (IPv4, host byte order) when all connected
    quint32 self = 0;   // this computer's address that chat connection came from
    QStringList silent; // "<channel> port <port>" of each client that got no answer
    QString address;    // where Connect aimed
    bool success() const { return chat && trade && plot; }
};

class TForm1 : public QMainWindow {
    Q_OBJECT
public:
    // programFolder holds "Vorlax.ini" and "Connect.ini" (with its trailing "/"); empty means the
    // folder ::programFolder() chooses (beside the executable, or the user's configuration folder).
    explicit TForm1(const QString& programFolder = {}, FormDialogs dialogs = {},
                    QWidget* parent = nullptr);
    ~TForm1() override;

    QString programFolder() const { return programFolder_; }
    QString settingsPath() const;
    QString peerListPath() const;
    void setDialogs(const FormDialogs& dialogs);
    void setVisible(bool visible) override;

    // Runs a GUI-thread handler: an error it raises ends it and is shown in the standard error box.
    void guarded(const std::function<void()>& handler);
    // Shows the standard error box once the running handler has returned, one box at a time.
    void reportError(const QString& message);
    // The same for a plain message box.
    void showQueuedMessage(const QString& text);
    // Appends one line to the chat log, in order, within the log's bounds.
    void appendChatLog(const QString& line);

    // ---- Connection bar
    QFrame* Panel5 = nullptr;
    QLabel* Label2 = nullptr;
    QLineEdit* Edit2 = nullptr;      // peer address ("IP:")
    QPushButton* BitBtn16 = nullptr; // "Connect"
    QPushButton* BitBtn17 = nullptr; // "Disconnect"
    QPushButton* BitBtn18 = nullptr; // "Offline"/"Online": the online state
    QPushButton* BitBtn19 = nullptr; // "Ask for download"
    QPushButton* BitBtn20 = nullptr; // "Start download"
    QFrame* Panel6 = nullptr;
    QLabel* Image1 = nullptr; // status icon
    // ---- Board bar
    QFrame* Panel8 = nullptr;
    QPushButton* Button6 = nullptr;      // "Clear Image"
    QLabel* StaticText1 = nullptr;       // colour swatch
    QToolButton* SpeedButton3 = nullptr; // colour choice
    // ---- Right pane
    QSplitter* Splitter2 = nullptr;
    QTabWidget* PageControl1 = nullptr;
    QWidget* TabSheet2 = nullptr;               // "Images"
    std::array<QLabel*, 5> slotViews{};         // Image3 .. Image7
    std::array<QPushButton*, 15> slotButtons{}; // BitBtn1 .. BitBtn15
    QWidget* TabSheet1 = nullptr;               // "Options"
    QFrame* Panel1 = nullptr;
    QLineEdit* Edit1 = nullptr; // path to save
    QToolButton* SpeedButton1 = nullptr;
    QLineEdit* Edit4 = nullptr; // path of the files to trade
    QToolButton* SpeedButton2 = nullptr;
    QLineEdit* Edit5 = nullptr;     // nickname
    QCheckBox* CheckBox1 = nullptr; // "Switch Ports"
    QLineEdit *Edit6 = nullptr, *Edit7 = nullptr, *Edit8 = nullptr, *Edit9 = nullptr,
              *Edit10 = nullptr, *Edit11 = nullptr, *Edit12 = nullptr, *Edit13 = nullptr,
              *Edit14 = nullptr, *Edit15 = nullptr, *Edit16 = nullptr, *Edit17 = nullptr,
              *Edit18 = nullptr, *Edit19 = nullptr, *Edit20 = nullptr;
    // "Encryption": Off, When available, Required
    QComboBox* ComboBox1 = nullptr;
    QWidget* TabSheet5 = nullptr; // "Connected to"
    QListWidget* ListBox1 = nullptr;
    QMenu* PopupMenu1 = nullptr;
    QAction* Delete1 = nullptr;
    // "Forget pairing" of the selected address
    QAction* ForgetPairing1 = nullptr;
    QAction* EncryptWith1 = nullptr; // "Encrypt with this peer", checkable
    QLabel* Label3 = nullptr;        // "On this network:"
    QListWidget* ListBox2 = nullptr; // copies found on the network
    QPushButton* Button7 = nullptr;  // "Match ports"
    QPushButton* Button8 = nullptr;  // "Verify peer…"
    QPushButton* Button9 = nullptr;  // "Allow unencrypted"
    QLabel* Label4 = nullptr;        // "Address book:"
    QLabel* Label5 = nullptr;        // this computer's own addresses
    // ---- Main area
    QTabWidget* PageControl2 = nullptr;
    QWidget* TabSheet3 = nullptr; // "Vorlax": the board
    QFrame* Panel7 = nullptr;
    BoardView* Image2 = nullptr;
    QWidget* TabSheet4 = nullptr; // "File-Transfer"
    QFrame* Panel2 = nullptr;
    QTreeWidget* ListView1 = nullptr; // the peer's files
    QSplitter* Splitter1 = nullptr;
    QTreeWidget* ListView2 = nullptr; // this copy's trade folder
    // ---- Chat pane and status bar
    QFrame* Panel3 = nullptr;
    QPlainTextEdit* Memo1 = nullptr; // chat log
    QFrame* Panel4 = nullptr;
    QLineEdit* Edit3 = nullptr; // chat input
    QStatusBar* StatusBar1 = nullptr;
    EncryptionLock* EncryptionLock1 = nullptr; // the lock, on the status bar's right
    // ---- Menus
    QMenuBar* MainMenu1 = nullptr;
    QMenu* File1 = nullptr;
    QAction* Exit1 = nullptr;
    QAction* info1 = nullptr;
    QAction* Help1 = nullptr;

    // ---- Non-visual components
    std::unique_ptr<TTcpClient> ChatClient, TradeClient, Plot_Client, ConnectCl;
    std::unique_ptr<TTcpServer> ChatServer, TradeServer, Plot_Server, ConnectSer;
    QList<QImage> ImageList1; // red, yellow, green ball
    QTimer* Timer1 = nullptr; // next-file request
    QTimer* Timer2 = nullptr; // plot pump
    QTimer* Timer3 = nullptr; // canvas keeper
    QTimer* Timer4 = nullptr; // online with nothing found on the network for a while
    TServerSocket* DownloadServer = nullptr;
    TClientSocket* DownloadClient = nullptr;

    // ---- Program-wide state
    quint32 DrawColor = 0;
    bool StrokeActive = false;
    bool PlotPumpBusy = false;
    std::deque<QString> PlotQueue;
    QStringList PeerList;
    QList<QByteArray> SendQueue;
    TradeAgreement agreement; // WeAccepted, PeerAccepted and the uploads they let run
    std::unique_ptr<TBoard> board;
    std::array<QImage, 5> slotPictures;
    int statusIconIndex = -1; // -1: the initial picture
    // "Chat port 484", ...: the listeners that could not open when the program last went online.
    QStringList portsNotListening;
    // What this copy offered, what it asked for, and who its peer is: the peer's requests and files
    // are checked against these, never taken on trust.
    OfferedFiles offeredFiles; // the listing exactly as last sent
    AskedFiles askedFiles;     // the names of the last "Ask for download"
    // Replaces askedFiles, also for the download listener, which writes only what was asked for.
    void resetAskedFiles(const QList<QByteArray>& names, const QList<qint64>& listedSizes = {});
    quint32 connectedPeer = 0; // the peer's IPv4 address while connected, else 0
    // True when sender (IPv4, host byte order) is the connected peer.
    bool fromPeer(quint32 sender) const { return sender != 0 && sender == connectedPeer; }

    // ---- Handlers: start and end (app/StartupShutdown.cpp; menus and Panel4Resize in
    // app/MainForm.cpp; FormResize in board/Canvas.cpp)
    void FormCreate();
    void FormClose();
    void Exit1Click();
    void info1Click();
    void Help1Click();
    void Panel4Resize();
    void FormResize();
    // ---- Settings (app/SettingsHandlers.cpp)
    void readSettingsFile();
    void writeSettingsFile();
    void CheckBox1Click();
    // True, after telling the user, when a folder's name holds a line break and cannot be kept.
    bool refuseFolderWithLineBreak(const QString& folder);
    // ---- Folder buttons (windows/FolderButtons.cpp)
    void SpeedButton1Click();
    void SpeedButton2Click();
    // ---- Connection control (net/Connection.cpp)
    void BitBtn18Click();
    void BitBtn16Click();
    void BitBtn17Click();
    void ListBox1Click();
    void Delete1Click();
    void showStatusIcon(int index);
    LinkState linkState() const { return linkState_; }
    // A connection step of the bar runs (going online or offline, Connect, Disconnect).
    bool attemptRunning() const {
        return isLinkStep(linkState_) && linkState_ != LinkState::Closing;
    }
    // ---- Finding copies on the network (net/DiscoveryHandlers.cpp)
    void ListBox2Click();
    void ListBox2DblClick();
    void Button7Click();
    void publishThisCopy();  // going online has completed
    void withdrawThisCopy(); // going offline, closing
    // Before a Connect: true when the address is a copy found on the network whose plan is known
    // not to meet this one; that is told in the chat log, and the Connect is not made.
    bool portsKnownNotToMeet(const QString& address);
    std::vector<FoundCopy> foundCopies() const;
    uint64_t runId() const { return runId_; }
    // ---- Encrypted sessions: what the user sees of them (app/EncryptionHandlers.cpp). The
    // sessions themselves call these, on the GUI thread.
    EncryptionChoice encryptionChoice() const { return encryptionChoice_; }
    QString encryptionChoicePath() const;
    QString pairingsPath() const;
    const Pairings& pairings() const { return pairings_; }
    // Remembers a verified peer in the store and writes it; a failed write is shown in the error
    // box, and the peer stays remembered for this run.
    void rememberPairing(const Pairing& pairing);
    // This copy's key fingerprint (32 bytes; empty: none). While it has one and Encryption is not
    // Off, the announcement on the network offers encrypted sessions and a hint of the key.
    void setOwnIdentity(const QByteArray& fingerprint);
    QByteArray ownIdentity() const { return ownKey_; }
    // One channel's protection; the lock shows the weakest of the four.
    void setChannelSecurity(Channel channel, const ChannelSecurity& security);
    ChannelSecurity shownSecurity() const { return weakestChannel(channelSecurity_); }
    // Enables "Verify peer…" (while an encrypted session with the connected peer exists).
    void setVerifyPeerAvailable(bool available);
    // Opens the "Verify peer" window for a session (one at a time: an open one for another
    // request is closed, undecided). Its answer comes as peerVerificationDecided; "Codes match"
    // has remembered the peer's key with its nickname and address by then.
    VerifyDialog* openVerifyDialog(const VerifyRequest& request);
    void closeVerifyDialog();
    VerifyDialog* verifyDialog() const { return verifyDialog_; }
    void ComboBox1Change();
    void Button8Click();
    void ForgetPairing1Click();
    void EncryptWith1Click();
    void markForEncryption(const QString& address, bool marked);
    // Address-book entries marked for encrypted sessions (ignoring letter case).
    bool markedForEncryption(const QString& address) const;
    // Plain connections from a verified peer are taken until the next Connect.
    void allowPlainThisSession();
    // ---- Chat (chat/Chat.cpp)
    void Edit3KeyDown(int key);
    void Edit3Click();
    // ---- Board (board/Canvas.cpp, board/PlotStream.cpp, board/Snapshots.cpp)
    void Image2MouseDown(int x, int y);
    void Image2MouseMove(int x, int y);
    void Image2MouseUp(int x, int y);
    void Button6Click();
    void SpeedButton3Click();
    void Timer3Timer();
    void FitBoardToView();
    void setDrawColor(quint32 color);
    void Timer2Timer();
    // Starts the pump timer when records wait, no stroke is being drawn and Plot_Client is
    // connected; the timer stops itself once there is nothing left to send.
    void wakePlotPump();
    void saveSlot(int slot);
    void restoreSlot(int slot);
    void saveSlotToFile(int slot);
    // ---- Trade negotiation (trade/Negotiation.cpp)
    void ListTradeFolder();
    // Sends this copy's listing (a snapshot of ListView2); with ifConnected only if the trade
    // client is connected when its turn comes.
    void SendFileList(bool ifConnected = false);
    void AskForTrade();
    QString TradeSummary() const;
    void BitBtn19Click();
    void BitBtn20Click();
    void ListView1ColumnClick(int column);
    void ListView2ColumnClick(int column);
    int RemoteSortColumn = 0;
    int LocalSortColumn = 0;
    // ---- File transfer (trade/Transfer.cpp)
    // Sends the first file of SendQueue after its pause, with its announcement, one upload at a
    // time. A call while one runs is owed once and served after it.
    void UploadNextFile();
    void SendFileStream(const QString& path);
    void DownloadServerClientRead(TServerSocket* sender, const DownloadEvent& event);
    void Timer1Timer();
    // ---- Test seams: the program's own values stay; tests shorten them or look inside.
    int uploadPauseMs = 3000; // the pause before and after each upload
    // How long a received trade message may take to arrive whole, for the listener that cuts it
    // and for the turns that pass it over.
    void setTradeMessageDeadlineMs(int ms) { TradeServer->setMessageDeadlineMs(ms); }
    // Plot records taken by the pump but not yet confirmed sent.
    bool plotSendInFlight() const { return plotInFlight_; }

    // ---- The accept handlers: each applies one whole message in one step, in the order the
    // channel's messages began.
    void ChatServerAccept(TTcpServer* sender, const LineMessage& message);
    void Plot_ServerAccept(TTcpServer* sender, const LineMessage& message);
    void TradeServerAccept(TTcpServer* sender, LineMessage message);

signals:
    // The window has run its close steps; the program ends.
    void formClosed();
    // A connection attempt of the connection bar (going online or offline, Connect, Disconnect)
    // has run to its end, its buttons usable again.
    void attemptFinished();
    // "Verify peer…" was clicked: the session should start its code exchange and then call
    // openVerifyDialog.
    void verifyPeerRequested();
    void peerVerificationDecided(const VerifyRequest& request, VerifyDecision decision);
    void encryptionChoiceChanged(EncryptionChoice choice);
    // "Forget pairing": the peers at this address-book entry are verified no more.
    void pairingForgotten(const QString& address);

protected:
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void moveEvent(QMoveEvent* event) override;
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // ---- Building the window (app/MainFormLayout.cpp)
    void buildControls();
    void buildConnectionBar();
    void buildBoardBar();
    void buildRightPane();
    void buildImagesPage();
    void buildOptionsPage();
    void buildConnectedToPage();
    void buildMainArea();
    void buildChatPane();
    void buildMenus();
    void buildComponents();
    void setMessageShapes();
    void wireHandlers();
    void setAccessibleNames();
    void setObjectNames();
    QLineEdit* optionsField(const QString& name);
    std::array<QLineEdit*, kSettingsFieldCount> settingsFields() const;
    QString programFolder_;
    FormDialogs dialogs_;

    // ---- Start and end, error boxes (app/StartupShutdown.cpp, app/MainForm.cpp)
    // The settings file holds the outer size, frame included; the frame is known only once the
    // system has put the window on screen, so the size is corrected then.
    void setOuterSize(int width, int height);
    void applyPendingOuterSize();
    // Boxes waiting to be shown, one after another, after the handler that asked has returned.
    void queueBox(const QString& key, std::function<void()> show); // key: the box's kind and text
    void showQueuedBoxes();
    std::optional<QSize> pendingOuterSize_;
    // The position the settings file gave (or the default), written back where the platform
    // neither reports nor sets where a window is.
    QPoint settingsPosition_{kDefaultWindowLeft, kDefaultWindowTop};
    bool closing_ = false;
    bool closed_ = false;
    std::deque<std::pair<QString, std::function<void()>>> pendingBoxes_;
    std::set<QString> boxesWaiting_; // keys of the boxes queued and not yet shown
    bool boxShowing_ = false;
    // Creates a missing folder; one that cannot be made is told in the chat log, once.
    bool prepareFolder(const QString& folderPrefix);
    ReportedOnce foldersReported_;

    // ---- Connection control (net/Connection.cpp, net/PeerOnly.cpp)
    // A connection step of the bar, one attempt at a time, with the bar's buttons held disabled
    // meanwhile: pieces that each end by calling `next` (most after work on the network thread);
    // an error a piece raises ends the attempt there and is shown.
    using AttemptPiece = std::function<void(const std::function<void()>& next)>;
    // Kinds of messages a peer's messages provoke, each held once in its client's queue.
    enum ProvokedWork : int {
        kNextFileRequest = 1, // "§§-SendNextFile-§§" after a received file
        kTradeAnswer,         // "§§-LastFileSended-§§"
        kChatAnswer,          // "Upload/Download has been finished"
        kListing,             // this copy's file listing
    };
    void runAttempt(std::vector<AttemptPiece> pieces);
    void runAttemptPiece(std::shared_ptr<std::vector<AttemptPiece>> pieces, size_t at);
    void endAttempt();
    // How a connection step ended: done (its own outcome, success or not), or ended by an error,
    // which changes nothing the bar shows.
    enum class StepEnd { Done, Failed };
    // The one place the link state changes, and with it the Online/Offline caption, the bar's
    // buttons, the status icon and this copy's announcement on the network.
    void setLinkState(LinkState next, StepEnd end = StepEnd::Done);
    void showLinkLook(LinkState from, LinkState next);
    void goOnline();
    void finishGoingOnline();
    void goOffline();
    void finishGoingOffline();
    void finishConnect(const ConnectResult& result);
    void finishDisconnect();
    // The user's connection actions: what peers provoked and is still queued is dropped, and what
    // runs is hurried, so the action never waits behind it.
    void cancelProvokedWork();
    // Closes every connection the listeners hold from an address other than peer.
    void closeSideDoors(quint32 peer);
    // The peer while connected (0: none); the listeners take only its messages meanwhile.
    void setConnectedPeer(quint32 peer);
    // Drops the listing, request (with its ticks) and acceptance that came from an address other
    // than peer before Connect (net/PeerOnly.cpp).
    void forgetStrangersTrade(quint32 peer);
    // Who sent what the trade lists and flags now hold (IPv4, host byte order; 0: nobody).
    struct TradeSenders {
        quint32 listing = 0;
        quint32 request = 0;
        quint32 acceptance = 0;
    } tradeSenders_;
    void reportListenFailures();
    void warnAboutOpenFolders();
    void rememberPeer(const QString& address);
    LinkState linkState_ = LinkState::Offline;
    LinkState settledBefore_ = LinkState::Offline; // where the running step began
    bool onlineToggled_ = false;    // the caption says "Online": the next click goes offline
    bool disconnectOffered_ = true; // "Disconnect" is usable (it is at start)

    // ---- Finding copies on the network (net/DiscoveryHandlers.cpp)
    void setUpDiscovery();
    void showFoundCopies();
    // This copy's announcement, with the offer of encrypted sessions when it has a key and
    // Encryption is not Off; sent (again) while online.
    Announcement ownAnnouncement() const;
    void announceThisCopy();
    void showMatchButton();
    void afterAttempt();
    void applyMatchedPlan();
    PortPlan fieldsPortPlan() const;
    PortPlan portPlanInEffect() const;
    const FoundCopy* selectedCopy(const std::vector<FoundCopy>& copies) const;
    // The copy "Match ports" acts on: the connected peer; else the selected entry; else the one
    // entry that needs it, if only one does.
    const FoundCopy* matchTarget(const std::vector<FoundCopy>& copies) const;
    // The copy reached by a Connect to that address, when the list tells it apart.
    const FoundCopy* copyAt(const std::vector<FoundCopy>& copies, uint32_t address) const;
    bool adaptsTo(const FoundCopy& copy) const;
    bool needsMatching(const FoundCopy& copy) const;
    QString mismatchAdvice(const FoundCopy& copy) const;
    AvahiClient* discovery_ = nullptr;
    uint64_t runId_ = 0;
    std::optional<PortPlan> publishedPlan_; // the plan announced while online
    enum class MatchStep { None, GoingOffline, GoingOnline };
    MatchStep matchStep_ = MatchStep::None;
    PortPlan matchedPlan_;
    quint32 connectedSelf_ = 0;  // this computer's address as the peer sees it, while connected
    bool noneFoundHint_ = false; // online, and nothing found for Timer4's interval
    bool showFoundPage_ = false; // bring "Connected to" forward once copies are listed

    // ---- Encrypted sessions (app/EncryptionHandlers.cpp)
    void setUpEncryption();
    void loadEncryptionStores(); // a step of FormCreate
    EncryptionChoice encryptionChoice_ = kDefaultEncryptionChoice;
    Pairings pairings_;
    QByteArray ownKey_;
    ChannelSecurities channelSecurity_{};
    QPointer<VerifyDialog> verifyDialog_;
    QStringList encryptionMarks_;

    // ---- Sessions with the peer (app/SessionHandlers.cpp, app/VerifyHandlers.cpp)
    void setUpSessions(); // a step of FormCreate, after the stores
    bool sessionsOn() const;
    const Pairing* verifiedPeer() const;
    SessionPolicy listenerPolicy() const;
    bool offersSessions(const QString& address) const;
    void applySessionPolicies();
    bool beginSessions(const QString& address);
    void settleSessions(bool connected);
    void endSessions();
    bool anyWarning() const;
    void pinPeerKey(const QByteArray& key);
    void sessionEvent(Channel channel, bool incoming, const SecurityEvent& event);
    bool admitsMessage(Channel channel, const LineMessage& message);
    void plainRefused(Channel channel, quint32 address);
    void securityWarning(Channel channel, const QString& reason);
    void showSessionSecurity();
    QString peerLabel() const;
    QString peerNickname() const;
    void offerVerification();
    void startVerification();
    void verifyControl(uint64_t session, const QByteArray& payload);
    void afterVerifyStep();
    bool exchangeRunning() const;
    bool awaitingWithdrawal() const;
    void answerVerify(uint64_t session, const QByteArray& payload);
    void verificationDecided(const VerifyRequest& request, VerifyDecision decision);
    bool linkAtFullSpeed() const;
    int tradePauseMs() const;
    std::shared_ptr<TlsContext> tlsContext_;
    QString plainAllowedFor_; // the entry the user let speak plain ("Allow unencrypted")
    // The sessions of one Connect.
    struct SessionBook {
        QString address;      // the address-book entry connected to
        bool encrypt = false; // this copy's connections to it are sessions
        QByteArray key;       // the peer's key for this connection: verified, or the first shown
        bool plainAllowed = false;
        bool handshakeFailed = false; // a verified peer's session failed
        int plainRefused = 0;
        std::array<std::optional<QByteArray>, kChannelCount> outgoing; // keys of own sessions
        std::array<bool, kChannelCount> plainIncoming{};               // plain came from the peer
        std::array<QString, kChannelCount> warning;
    } sessions_;
    // The sessions the listeners hold, by channel and session.
    struct IncomingSession {
        quint32 address = 0;
        QByteArray key;
        QByteArray secret;
    };
    std::map<std::pair<int, uint64_t>, IncomingSession> incomingSessions_;
    QSet<QByteArray> offeredVerification_; // keys the log has offered to verify
    VerifyLimiter verifyLimiter_;
    std::unique_ptr<VerifyCode> verify_;
    uint64_t verifySession_ = 0; // the peer's chat session it runs on; 0: this copy's own
    QByteArray verifyKey_;
    QElapsedTimer verifyClock_;   // since the running exchange began
    QElapsedTimer withdrawClock_; // since this copy withdrew its exchange, until the peer answers
    bool verifyAskedMeanwhile_ = false;
    static constexpr qint64 kVerifyExchangeMs = 10000; // an exchange not done by then is given up

    // ---- Chat (chat/Chat.cpp, chat/ChatLog.cpp)
    int chatSendsPending_ = 0;
    ChatLogFeed* chatLog_ = nullptr; // a child of Memo1

    // ---- Board (board/PlotStream.cpp, board/Snapshots.cpp)
    void plotSendDone(quint64 queueGeneration, bool sent);
    bool plotInFlight_ = false;
    bool plotTickOwed_ = false; // a pump tick came while a record was on its way
    quint64 plotQueueGeneration_ = 0;
    quint32 lastDialogColor_ = 0;
    QString lastSaveName_;

    // ---- Trade negotiation (trade/Negotiation.cpp), GUI thread unless told otherwise
    // A trade message, counted in the agreement's pending sends until its outcome is back; one of
    // a kind (not 0) replaces one of the same kind still queued. done gets the lines that went
    // out (-1: none).
    void postTradeSend(TTcpClient::Message message, std::function<void(int sent)> done = {});
    bool tradeClientUsable() const; // connected, or a send on its way will reconnect it
    QString takeNextUpload();       // the next queued file this copy offered; empty: none
    void handOverUploads();         // nothing more to send: the peer's turn
    // Does what the agreement asks after an event.
    // Does what the agreement asks after an event; a peer address given is the one to notify of.
    void act(TradeAgreement::Action action, const QString& peerAddress = {});

    // ---- File transfer (trade/Transfer.cpp)
    // The upload's steps: the pause before, the announcement and the file, the pause after; each
    // ends on the GUI thread.
    void startUpload(uint64_t round);
    void finishUpload();
    void setUpDownloadChannel();
    void reportDownloadError(const QString& message);
    UploadPauses uploadPauses_;
    TransferBar* transferBar_ = nullptr;

    // ---- The threads' meeting point: what the network thread hands to this window, and the
    // network thread itself, which owns every socket and is joined when the window closes.
    Mailbox windowMail_;
    std::unique_ptr<NetworkThread> network_;
    void closeNetwork();
};

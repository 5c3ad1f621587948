// The main window's controls, laid out as the window description gives them: the connection bar,
// the board bar, the right-hand pages, the board and file-transfer pages, the chat pane and the
// status bar.
//
// The sizes given are those at the window's designed font. The texts take the desktop's font (the
// larger ones in proportion to it), and every bar, button and page grows when its texts need more
// room, so nothing is cut off under a larger font. The board and the snapshots keep their own
// pixels.

#include "app/MainForm.h"
#include "board/BoardView.h"
#include "app/EncryptionLock.h"
#include "app/LayoutParts.h"

#include <QAction>
#include <QComboBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QPainter>
#include <QScrollArea>
#include <QSplitter>
#include <QStatusBar>
#include <QStyle>
#include <QStyledItemDelegate>
#include <QTabBar>
#include <QTabWidget>
#include <QTextDocument>
#include <QToolButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <algorithm>

namespace {
constexpr int kConnectionBarHeight = 41;
constexpr int kBoardBarHeight = 27;
constexpr int kRightPaneWidth = 243;
constexpr int kStatusPanelWidth = 38;
constexpr int kChatPaneHeight = 120;
constexpr int kChatInputHeight = 27;
constexpr int kChatLogLines = 10000; // lines the chat log keeps
constexpr int kStatusBarHeight = 19;
constexpr int kLocalListWidth = 192;
constexpr int kSlotFirstTop = 64;
constexpr int kSlotSpacing = 104;
constexpr int kSlotButtonLeft = 152;
constexpr int kSlotButtonSpacing = 32;
constexpr QSize kSlotViewSize(145, 89);
constexpr QSize kSlotButtonSize(75, 25);
constexpr int kMinListHeight = 32; // the "Connected to" page's lists give way in a low window
constexpr int kChatLogMinLines = 5;
constexpr int kTabBarMargin = 4; // beside the tabs of a page control

// Grid lines between the cells of a file list, in a colour between the list's text and its ground,
// so they show under a light or a dark palette alike (a fifth of the way from ground to text).
class GridLineDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override {
        constexpr float kTextShare = 0.2f;
        QStyledItemDelegate::paint(painter, option, index);
        const QColor text = option.palette.color(QPalette::Text);
        const QColor ground = option.palette.color(QPalette::Base);
        auto mix = [](float t, float g) { return kTextShare * t + (1 - kTextShare) * g; };
        const QColor line =
            QColor::fromRgbF(mix(text.redF(), ground.redF()), mix(text.greenF(), ground.greenF()),
                             mix(text.blueF(), ground.blueF()));
        painter->save();
        painter->setPen(line);
        painter->drawLine(option.rect.topRight(), option.rect.bottomRight());
        painter->drawLine(option.rect.bottomLeft(), option.rect.bottomRight());
        painter->restore();
    }
};

QPushButton* glyphButton(QWidget* parent, const QString& caption, QStyle::StandardPixmap glyph,
                         int width) {
    auto* button = new QPushButton(parent->style()->standardIcon(glyph), caption, parent);
    button->setFixedSize(buttonSize(button, QSize(width, kButtonHeight)));
    return button;
}

} // namespace

void TForm1::buildControls() {
    auto* central = new QWidget(this);
    auto* column = new QVBoxLayout(central);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    setCentralWidget(central);

    buildConnectionBar();
    buildBoardBar();
    buildRightPane();
    buildMainArea();
    buildChatPane();
    buildMenus();

    Splitter2 = new QSplitter(Qt::Horizontal, central);
    Splitter2->setObjectName("Splitter2");
    Splitter2->addWidget(PageControl2);
    Splitter2->addWidget(PageControl1);
    Splitter2->setStretchFactor(0, 1);
    Splitter2->setStretchFactor(1, 0);
    Splitter2->setChildrenCollapsible(false);

    column->addWidget(Panel5);
    column->addWidget(Panel8);
    column->addWidget(Splitter2, 1);
    column->addWidget(Panel3);

    StatusBar1 = new QStatusBar(this);
    StatusBar1->setObjectName("StatusBar1");
    StatusBar1->setSizeGripEnabled(false);
    EncryptionLock1 = new EncryptionLock(StatusBar1);
    EncryptionLock1->setObjectName("EncryptionLock1");
    StatusBar1->addPermanentWidget(EncryptionLock1);
    // As high as designed, or as the lock's text needs under a larger font.
    atLeastHigh(StatusBar1, std::max(kStatusBarHeight, StatusBar1->minimumSizeHint().height()));
    setStatusBar(StatusBar1);
    // The right pane is as wide as designed, or as its pages (beside their scroll bar) and its tabs
    // need to show them whole.
    const int paneWidth = std::max(
        {kRightPaneWidth,
         PageControl1->sizeHint().width() + style()->pixelMetric(QStyle::PM_ScrollBarExtent),
         PageControl1->tabBar()->sizeHint().width() + 2 * kTabBarMargin});
    Splitter2->setSizes({width() - paneWidth, paneWidth});
}

void TForm1::buildConnectionBar() {
    Panel5 = borderedPanel(this);
    Panel5->setObjectName("Panel5");
    atLeastHigh(Panel5, kConnectionBarHeight);
    auto* row = new QHBoxLayout(Panel5);
    row->setContentsMargins(6, 2, 2, 2);
    row->setSpacing(6);
    Label2 = label(Panel5, "IP:", kLargeFontPixels);
    Edit2 = new QLineEdit(Panel5); // the peer's address
    Edit2->setObjectName("Edit2");
    Edit2->setFixedWidth(121);
    BitBtn16 = glyphButton(Panel5, "Connect", QStyle::SP_DialogYesButton, 97);
    BitBtn17 = glyphButton(Panel5, "Disconnect", QStyle::SP_DialogNoButton, 105);
    BitBtn18 = glyphButton(Panel5, "Offline", QStyle::SP_DriveNetIcon, 89); // online toggle
    BitBtn19 = glyphButton(Panel5, "Ask for download", QStyle::SP_ArrowDown, 129);
    BitBtn19->setCheckable(false);
    BitBtn20 = glyphButton(Panel5, "Start download", QStyle::SP_MediaPlay, 137);
    BitBtn16->setEnabled(false);
    BitBtn20->setEnabled(false);
    for (auto [button, name] : {std::pair{BitBtn16, "BitBtn16"},
                                {BitBtn17, "BitBtn17"},
                                {BitBtn18, "BitBtn18"},
                                {BitBtn19, "BitBtn19"},
                                {BitBtn20, "BitBtn20"}})
        button->setObjectName(name);
    Label2->setBuddy(Edit2);
    row->addWidget(Label2);
    row->addWidget(Edit2);
    for (QPushButton* b : {BitBtn16, BitBtn17, BitBtn18, BitBtn19, BitBtn20})
        row->addWidget(b);
    row->addStretch(1);
    Panel6 = new QFrame(Panel5);
    Panel6->setFixedWidth(kStatusPanelWidth);
    auto* iconBox = new QHBoxLayout(Panel6);
    iconBox->setContentsMargins(0, 0, 0, 0);
    Image1 = new QLabel(Panel6); // status icon
    Image1->setObjectName("Image1");
    Image1->setAlignment(Qt::AlignCenter);
    iconBox->addWidget(Image1);
    row->addWidget(Panel6);
}

void TForm1::buildBoardBar() {
    Panel8 = new QFrame(this);
    Panel8->setObjectName("Panel8");
    atLeastHigh(Panel8, kBoardBarHeight);
    auto* row = new QHBoxLayout(Panel8);
    row->setContentsMargins(2, 1, 2, 1);
    row->setSpacing(4);
    Button6 = new QPushButton("Clear Image", Panel8);
    Button6->setObjectName("Button6");
    StaticText1 = new QLabel(Panel8); // shows DrawColor
    StaticText1->setObjectName("StaticText1");
    StaticText1->setFixedSize(25, 22);
    StaticText1->setFrameShape(QFrame::Panel);
    StaticText1->setAutoFillBackground(true);
    SpeedButton3 = new QToolButton(Panel8); // colour choice, glyph only
    SpeedButton3->setObjectName("SpeedButton3");
    SpeedButton3->setIcon(style()->standardIcon(QStyle::SP_DesktopIcon));
    SpeedButton3->setToolTip("Choose the drawing colour");
    row->addWidget(Button6);
    row->addWidget(StaticText1);
    row->addWidget(SpeedButton3);
    row->addStretch(1);
}

void TForm1::buildRightPane() {
    PageControl1 = new QTabWidget(this);
    PageControl1->setObjectName("PageControl1");
    PageControl1->setMinimumWidth(60);
    PageControl1->resize(kRightPaneWidth, PageControl1->height());
    buildImagesPage();
    buildOptionsPage();
    buildConnectedToPage();
    PageControl1->addTab(TabSheet2, "Images");
    PageControl1->addTab(TabSheet1, "Options");
    PageControl1->addTab(TabSheet5, "Connected to");
    PageControl1->setCurrentIndex(0);
}

void TForm1::buildImagesPage() {
    // The page scrolls when the window is too low for all five slots.
    constexpr int kSlotBottomMargin = 8; // below the last slot, so its frame is not cut off
    auto* scroller = new QScrollArea();
    scroller->setFrameShape(QFrame::NoFrame);
    TabSheet2 = scroller;
    auto* slotsPanel = new QWidget();
    const QStringList captions{"Save", "Restore", "Save to file"};
    QSize button = kSlotButtonSize; // one size for all, as the longest caption needs
    for (int slot = 0; slot < 5; ++slot) {
        auto* view = new QLabel(slotsPanel);
        view->setObjectName(QStringLiteral("Image%1").arg(slot + 3));
        view->setScaledContents(true);
        view->setFrameShape(QFrame::Box);
        slotViews[slot] = view;
        for (int kind = 0; kind < 3; ++kind) {
            const int number = 1 + kind * 5 + slot;
            auto* slotButton = new QPushButton(captions[kind], slotsPanel);
            slotButton->setObjectName(QStringLiteral("BitBtn%1").arg(number));
            slotButtons[number - 1] = slotButton;
            button = buttonSize(slotButton, button);
        }
    }
    const int buttonSpacing = std::max(kSlotButtonSpacing, button.height() + 7);
    const int slotHeight = std::max(kSlotViewSize.height(), 2 * buttonSpacing + button.height());
    const int slotSpacing = std::max(kSlotSpacing, slotHeight + 15);
    for (int slot = 0; slot < 5; ++slot) {
        const int top = kSlotFirstTop + slot * slotSpacing;
        slotViews[slot]->setGeometry(QRect(QPoint(0, top), kSlotViewSize));
        for (int kind = 0; kind < 3; ++kind)
            slotButtons[kind * 5 + slot]->setGeometry(
                QRect(QPoint(kSlotButtonLeft, top + kind * buttonSpacing), button));
    }
    const int lastBottom = kSlotFirstTop + 4 * slotSpacing + slotHeight;
    slotsPanel->setFixedSize(kSlotButtonLeft + button.width(), lastBottom + kSlotBottomMargin);
    scroller->setWidget(slotsPanel);
}

// The copies found on the network above the address book, and this computer's own addresses below,
// so that two people without discovery can tell each other what to type.
void TForm1::buildConnectedToPage() {
    TabSheet5 = new QWidget();
    auto* box = new QVBoxLayout(TabSheet5);
    box->setContentsMargins(2, 4, 2, 4);
    box->setSpacing(4);
    Label3 = new QLabel("On this &network:", TabSheet5);
    Label3->setObjectName("Label3");
    ListBox2 = new QListWidget(TabSheet5); // copies found on the network
    ListBox2->setObjectName("ListBox2");
    ListBox2->setWordWrap(true);
    ListBox2->setTextElideMode(Qt::ElideNone);
    ListBox2->setSpacing(1);
    ListBox2->setMinimumHeight(kMinListHeight);
    Label3->setBuddy(ListBox2);
    Button7 = new QPushButton("Match ports", TabSheet5);
    Button7->setObjectName("Button7");
    Button7->setEnabled(false);
    Button7->setToolTip("Sets this copy's ports to fit another's (the connected copy, the selected "
                        "one, or the only one listed that needs it): goes offline, changes the "
                        "ports on the Options page and goes online again.");
    Label4 = new QLabel("&Address book:", TabSheet5);
    Label4->setObjectName("Label4");
    ListBox1 = new QListWidget(TabSheet5); // remembered peer addresses
    ListBox1->setObjectName("ListBox1");
    ListBox1->setContextMenuPolicy(Qt::CustomContextMenu);
    ListBox1->setMinimumHeight(kMinListHeight);
    Label4->setBuddy(ListBox1);
    PopupMenu1 = new QMenu(this);
    Delete1 = PopupMenu1->addAction("Delete");
    ForgetPairing1 = PopupMenu1->addAction("Forget pairing");
    EncryptWith1 = PopupMenu1->addAction("Encrypt with this peer");
    EncryptWith1->setCheckable(true);
    ForgetPairing1->setObjectName("ForgetPairing1");
    ForgetPairing1->setEnabled(false);
    // Compares a code with the connected peer: usable only while an encrypted session exists.
    Button8 = new QPushButton(QStringLiteral("Verify peer\u2026"), TabSheet5);
    Button8->setObjectName("Button8");
    Button8->setEnabled(false);
    Button8->setToolTip("Shows a code on both screens: when the codes are the same, the peer's "
                        "key is remembered and nobody can pose as it.");
    // After a verified peer came plain: takes it plain until the next Connect.
    Button9 = new QPushButton(QStringLiteral("Allow unencrypted"), TabSheet5);
    Button9->setObjectName("Button9");
    Button9->setToolTip("Takes plain connections from the verified peer until the next Connect, "
                        "for a peer that turned encryption off.");
    Button9->hide();
    Label5 = new QLabel(TabSheet5); // this computer's own addresses
    Label5->setObjectName("Label5");
    Label5->setWordWrap(true);
    Label5->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    Label5->setFocusPolicy(Qt::StrongFocus);
    box->addWidget(Label3);
    box->addWidget(ListBox2, 3);
    box->addWidget(Button7, 0, Qt::AlignLeft);
    box->addWidget(Label4);
    box->addWidget(ListBox1, 2);
    auto* sessionRow = new QHBoxLayout();
    sessionRow->addWidget(Button8);
    sessionRow->addWidget(Button9);
    sessionRow->addStretch(1);
    box->addLayout(sessionRow);
    box->addWidget(Label5);
}

void TForm1::buildMainArea() {
    PageControl2 = new QTabWidget(this);
    PageControl2->setObjectName("PageControl2");
    TabSheet3 = new QWidget();
    auto* boardBox = new QVBoxLayout(TabSheet3);
    boardBox->setContentsMargins(0, 0, 0, 0);
    Panel7 = borderedPanel(TabSheet3);
    boardBox->addWidget(Panel7);
    auto* panelBox = new QVBoxLayout(Panel7);
    panelBox->setContentsMargins(1, 1, 1, 1);
    Image2 = new BoardView([this] { return board.get(); }, Panel7); // the drawing board
    Image2->setObjectName("Image2");
    panelBox->addWidget(Image2);

    TabSheet4 = new QWidget();
    auto* transferBox = new QVBoxLayout(TabSheet4);
    transferBox->setContentsMargins(0, 0, 0, 0);
    Panel2 = borderedPanel(TabSheet4);
    transferBox->addWidget(Panel2);
    auto* panelRow = new QHBoxLayout(Panel2);
    panelRow->setContentsMargins(1, 1, 1, 1);
    Splitter1 = new QSplitter(Qt::Horizontal, Panel2);
    auto makeList = [&](const char* name, const QStringList& columns, int firstWidth) {
        auto* list = new QTreeWidget(Splitter1);
        list->setObjectName(name);
        list->setColumnCount(3);
        list->setHeaderLabels(columns);
        list->setRootIsDecorated(false);
        list->setEditTriggers(QAbstractItemView::NoEditTriggers);
        list->setAlternatingRowColors(false);
        list->setUniformRowHeights(true);
        list->setItemDelegate(new GridLineDelegate(list));
        list->header()->setSectionsClickable(true);
        list->header()->setSortIndicatorShown(false);
        list->setColumnWidth(0, firstWidth);
        return list;
    };
    ListView1 = makeList("ListView1", {"Filename", "Type", "Size"}, 200);
    ListView1->setColumnWidth(2, 100);
    ListView2 = makeList("ListView2", {"FileName", "Type", "Size"}, 150);
    Splitter1->addWidget(ListView1);
    Splitter1->addWidget(ListView2);
    Splitter1->setStretchFactor(0, 1);
    Splitter1->setSizes({400, kLocalListWidth});
    panelRow->addWidget(Splitter1);

    PageControl2->addTab(TabSheet3, "Vorlax");
    PageControl2->addTab(TabSheet4, "File-Transfer");
    PageControl2->setCurrentIndex(0);
}

void TForm1::buildChatPane() {
    Panel3 = borderedPanel(this);
    Panel3->setObjectName("Panel3");
    auto* box = new QVBoxLayout(Panel3);
    box->setContentsMargins(1, 1, 1, 1);
    box->setSpacing(0);
    Memo1 = new QPlainTextEdit(Panel3); // the chat log
    Memo1->setObjectName("Memo1");
    Memo1->setReadOnly(true);
    Memo1->setMaximumBlockCount(kChatLogLines); // the oldest lines go first
    Memo1->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff); // scrolls by wheel and keys
    Memo1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    Panel4 = new QFrame(Panel3);
    Panel4->setObjectName("Panel4");
    Edit3 = new QLineEdit("Chat here :-)", Panel4); // chat input
    Edit3->setObjectName("Edit3");
    Edit3->setFont(designedFont(Edit3->font(), kLargeFontPixels));
    const int inputHeight = std::max(kChatInputHeight, Edit3->sizeHint().height());
    Panel4->setFixedHeight(inputHeight);
    Edit3->setGeometry(0, 0, Panel4->width(), inputHeight);
    box->addWidget(Memo1, 1);
    box->addWidget(Panel4);
    // As high as designed, or enough for a few lines of the log above the input.
    const int logHeight = kChatLogMinLines * Memo1->fontMetrics().lineSpacing() +
                          2 * Memo1->frameWidth() + 2 * int(Memo1->document()->documentMargin());
    Panel3->setFixedHeight(std::max(kChatPaneHeight, logHeight + inputHeight + 4));
}

void TForm1::buildMenus() {
    MainMenu1 = menuBar();
    File1 = MainMenu1->addMenu("File");
    Exit1 = File1->addAction("Exit");
    info1 = MainMenu1->addAction("Info");
    Help1 = MainMenu1->addAction("Help");
}

void TForm1::setObjectNames() {
    const std::pair<QObject*, const char*> named[] = {{Label2, "Label2"},
                                                      {Panel6, "Panel6"},
                                                      {TabSheet2, "TabSheet2"},
                                                      {TabSheet1, "TabSheet1"},
                                                      {Panel1, "Panel1"},
                                                      {TabSheet5, "TabSheet5"},
                                                      {PopupMenu1, "PopupMenu1"},
                                                      {Delete1, "Delete1"},
                                                      {EncryptWith1, "EncryptWith1"},
                                                      {TabSheet3, "TabSheet3"},
                                                      {Panel7, "Panel7"},
                                                      {TabSheet4, "TabSheet4"},
                                                      {Panel2, "Panel2"},
                                                      {Splitter1, "Splitter1"},
                                                      {MainMenu1, "MainMenu1"},
                                                      {File1, "File1"},
                                                      {Exit1, "Exit1"},
                                                      {info1, "info1"},
                                                      {Help1, "Help1"}};
    for (auto [object, name] : named)
        object->setObjectName(name);
}

void TForm1::setAccessibleNames() {
    // Buttons and check boxes with a caption get no name of their own: the toolkit reads the
    // caption itself, so a screen reader hears "Online" as soon as the button says so. Fields and
    // pictures, which have no caption, are named after their label or what they show.
    auto name = [](QWidget* w, const QString& text) { w->setAccessibleName(text); };
    name(Edit2, "IP:");
    for (int slot = 0; slot < 5; ++slot) {
        name(slotViews[slot], QStringLiteral("Snapshot %1").arg(slot + 1));
        name(slotButtons[slot], QStringLiteral("Save %1").arg(slot + 1));
        name(slotButtons[5 + slot], QStringLiteral("Restore %1").arg(slot + 1));
        name(slotButtons[10 + slot], QStringLiteral("Save to file %1").arg(slot + 1));
    }
    name(StaticText1, "Drawing colour");
    name(SpeedButton3, "Choose colour");
    name(Image1, "Connection status");
    name(Image2, "Drawing board");
    name(Edit1, "Path to save:");
    name(SpeedButton1, "Choose the folder to save into");
    name(Edit4, "Path of the files to trade:");
    name(SpeedButton2, "Choose the folder to trade");
    name(Edit5, "Nickname:");
    name(ComboBox1, "Encryption");
    const std::pair<QLineEdit*, const char*> ports[] = {
        {Edit6, "Local Chat Server"},     {Edit7, "Local Chat Client"},
        {Edit8, "Local Download Server"}, {Edit10, "Local Trade Server"},
        {Edit11, "Local Trade Client"},   {Edit15, "Local Plot Server"},
        {Edit18, "Local Plot Client"},    {Edit13, "Remote Chat Server"},
        {Edit12, "Remote Chat Client"},   {Edit14, "Remote Download Server"},
        {Edit17, "Remote Trade Server"},  {Edit16, "Remote Trade Client"},
        {Edit19, "Remote Plot Server"},   {Edit20, "Remote Plot Client"},
        {Edit9, "Delay (in ms):"}};
    for (auto [field, text] : ports)
        name(field, text);
    name(ListBox1, "Connected to");
    name(ListBox2, "On this network");
    name(Label5, "This computer's addresses");
    name(ListView1, "Remote files");
    name(ListView2, "Local files");
    name(Memo1, "Chat log");
    name(Edit3, "Chat input");
    name(PageControl1, "Images, Options, Connected to");
    name(PageControl2, "Vorlax, File-Transfer");
    name(StatusBar1, "Status");
}

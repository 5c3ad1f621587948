// The main window's controls, laid out as the window description gives them: the connection bar,
// the board bar, the right-hand pages, the board and file-transfer pages, the chat pane and the
// status bar.

#include "app/MainForm.h"
#include "board/BoardView.h"

#include <QAction>
#include <QCheckBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QSplitter>
#include <QStatusBar>
#include <QStyle>
#include <QTabWidget>
#include <QToolButton>
#include <QTreeWidget>
#include <QVBoxLayout>

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
constexpr int kLargeFontPixels = 16;
constexpr int kButtonHeight = 25;
constexpr int kGridRowHeight = 22;
constexpr QSize kOptionsPanelSize(232, 388);
constexpr int kMinListHeight = 32; // the "Connected to" page's lists give way in a low window

QFrame* borderedPanel(QWidget* parent, QFrame::Shape shape = QFrame::Box) {
    auto* panel = new QFrame(parent);
    panel->setFrameShape(shape);
    panel->setFrameShadow(QFrame::Sunken);
    return panel;
}

QPushButton* glyphButton(QWidget* parent, const QString& caption, QStyle::StandardPixmap glyph,
                         int width) {
    auto* button = new QPushButton(parent->style()->standardIcon(glyph), caption, parent);
    button->setFixedSize(width, kButtonHeight);
    return button;
}

QLabel* label(QWidget* parent, const QString& text, int x, int y, int pixelSize = 0) {
    auto* l = new QLabel(text, parent);
    if (pixelSize > 0) {
        QFont f = l->font();
        f.setPixelSize(pixelSize);
        l->setFont(f);
    }
    l->move(x, y);
    l->adjustSize();
    return l;
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
    StatusBar1->setFixedHeight(kStatusBarHeight);
    StatusBar1->setSizeGripEnabled(false);
    setStatusBar(StatusBar1);
    Splitter2->setSizes({width() - kRightPaneWidth, kRightPaneWidth});
}

void TForm1::buildConnectionBar() {
    Panel5 = borderedPanel(this);
    Panel5->setObjectName("Panel5");
    Panel5->setFixedHeight(kConnectionBarHeight);
    auto* row = new QHBoxLayout(Panel5);
    row->setContentsMargins(6, 2, 2, 2);
    row->setSpacing(6);
    Label2 = new QLabel("IP:", Panel5);
    QFont large = Label2->font();
    large.setPixelSize(kLargeFontPixels);
    Label2->setFont(large);
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
    Panel8->setFixedHeight(kBoardBarHeight);
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
    const int lastBottom = kSlotFirstTop + 4 * kSlotSpacing + kSlotViewSize.height();
    slotsPanel->setFixedSize(kSlotButtonLeft + kSlotButtonSize.width(),
                             lastBottom + kSlotBottomMargin);
    const QStringList captions{"Save", "Restore", "Save to file"};
    for (int slot = 0; slot < 5; ++slot) {
        const int top = kSlotFirstTop + slot * kSlotSpacing;
        auto* view = new QLabel(slotsPanel);
        view->setObjectName(QStringLiteral("Image%1").arg(slot + 3));
        view->setGeometry(QRect(QPoint(0, top), kSlotViewSize));
        view->setScaledContents(true);
        view->setFrameShape(QFrame::Box);
        slotViews[slot] = view;
        for (int kind = 0; kind < 3; ++kind) {
            auto* button = new QPushButton(captions[kind], slotsPanel);
            const int number = 1 + kind * 5 + slot;
            button->setObjectName(QStringLiteral("BitBtn%1").arg(number));
            button->setGeometry(
                QRect(QPoint(kSlotButtonLeft, top + kind * kSlotButtonSpacing), kSlotButtonSize));
            slotButtons[number - 1] = button;
        }
    }
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
    box->addWidget(Label5);
}

QLineEdit* TForm1::optionsField(const QString& name) {
    auto* field = new QLineEdit(Panel1);
    field->setObjectName(name);
    return field;
}

void TForm1::buildOptionsPage() {
    // The page scrolls when the window is too low for all of its fields.
    auto* scroller = new QScrollArea();
    scroller->setWidgetResizable(true);
    scroller->setFrameShape(QFrame::NoFrame);
    TabSheet1 = scroller;
    Panel1 = borderedPanel(nullptr);
    Panel1->setMinimumSize(kOptionsPanelSize);
    scroller->setWidget(Panel1);

    auto placeFolderRow = [&](const QString& caption, QLineEdit*& edit, QToolButton*& button,
                              const char* buttonName, int y) {
        label(Panel1, caption, 8, y);
        edit->setGeometry(8, y + 14, 193, 21);
        button = new QToolButton(Panel1);
        button->setObjectName(buttonName);
        button->setIcon(style()->standardIcon(QStyle::SP_DirOpenIcon));
        button->setGeometry(204, y + 14, 23, 22);
    };
    Edit1 = optionsField("Edit1"); // where received files are saved
    placeFolderRow("Path to save:", Edit1, SpeedButton1, "SpeedButton1", 4);
    Edit4 = optionsField("Edit4"); // whose files are offered
    placeFolderRow("Path of the files to trade:", Edit4, SpeedButton2, "SpeedButton2", 42);
    label(Panel1, "Nickname:", 8, 80);
    Edit5 = optionsField("Edit5");
    Edit5->setGeometry(8, 94, 193, 21);
    CheckBox1 = new QCheckBox("Switch Ports", Panel1);
    CheckBox1->setObjectName("CheckBox1");
    CheckBox1->move(8, 119);
    CheckBox1->adjustSize();

    // The two port grids: rows chat, download, trade, plot; columns server, client.
    struct Cell {
        QLineEdit** field;
        const char* name;
        int row;
        int column;
    };
    auto placeGrid = [&](const QString& heading, int top, std::initializer_list<Cell> cells) {
        label(Panel1, heading, 8, top, kLargeFontPixels);
        label(Panel1, "Server:", 80, top + 4);
        label(Panel1, "Client:", 148, top + 4);
        const QStringList rows{"Chat:", "Download:", "Trade:", "Plot:"};
        for (int r = 0; r < rows.size(); ++r)
            label(Panel1, rows[r], 8, top + 24 + r * kGridRowHeight);
        for (const Cell& cell : cells) {
            *cell.field = optionsField(cell.name);
            (*cell.field)
                ->setGeometry(80 + cell.column * 68, top + 20 + cell.row * kGridRowHeight, 57, 21);
        }
    };
    placeGrid("Local:", 140,
              {{&Edit6, "Edit6", 0, 0},
               {&Edit7, "Edit7", 0, 1},
               {&Edit8, "Edit8", 1, 0},
               {&Edit10, "Edit10", 2, 0},
               {&Edit11, "Edit11", 2, 1},
               {&Edit15, "Edit15", 3, 0},
               {&Edit18, "Edit18", 3, 1}});
    placeGrid("Remote:", 250,
              {{&Edit13, "Edit13", 0, 0},
               {&Edit12, "Edit12", 0, 1},
               {&Edit14, "Edit14", 1, 0},
               {&Edit17, "Edit17", 2, 0},
               {&Edit16, "Edit16", 2, 1},
               {&Edit19, "Edit19", 3, 0},
               {&Edit20, "Edit20", 3, 1}});
    label(Panel1, "Delay (in ms):", 8, 364);
    Edit9 = optionsField("Edit9"); // pause between received files
    Edit9->setGeometry(96, 360, 65, 21);
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
        list->setStyleSheet("QTreeView::item { border-right: 1px solid #d0d0d0; border-bottom: 1px "
                            "solid #d0d0d0; }");
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
    Panel3->setFixedHeight(kChatPaneHeight);
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
    Panel4->setFixedHeight(kChatInputHeight);
    Edit3 = new QLineEdit("Chat here :-)", Panel4); // chat input
    Edit3->setObjectName("Edit3");
    QFont large = Edit3->font();
    large.setPixelSize(kLargeFontPixels);
    Edit3->setFont(large);
    Edit3->setGeometry(0, 0, Panel4->width(), kChatInputHeight);
    box->addWidget(Memo1, 1);
    box->addWidget(Panel4);
}

void TForm1::buildMenus() {
    MainMenu1 = menuBar();
    File1 = MainMenu1->addMenu("File");
    Exit1 = File1->addAction("Exit");
    info1 = MainMenu1->addAction("Info");
    Help1 = MainMenu1->addAction("Help");
}

void TForm1::setObjectNames() {
    const std::pair<QObject*, const char*> named[] = {
        {Label2, "Label2"},         {Panel6, "Panel6"},       {TabSheet2, "TabSheet2"},
        {TabSheet1, "TabSheet1"},   {Panel1, "Panel1"},       {TabSheet5, "TabSheet5"},
        {PopupMenu1, "PopupMenu1"}, {Delete1, "Delete1"},     {TabSheet3, "TabSheet3"},
        {Panel7, "Panel7"},         {TabSheet4, "TabSheet4"}, {Panel2, "Panel2"},
        {Splitter1, "Splitter1"},   {MainMenu1, "MainMenu1"}, {File1, "File1"},
        {Exit1, "Exit1"},           {info1, "info1"},         {Help1, "Help1"}};
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

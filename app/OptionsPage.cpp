// The "Options" page of the main window: the two folders, the nickname, "Switch Ports", the local
// and remote port grids, the delay and the encryption choice, top to bottom. Fields and captions
// take the desktop's font; the page grows with them and scrolls when the window is too low.

#include "app/LayoutParts.h"
#include "app/MainForm.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QScrollArea>
#include <QToolButton>
#include <QVBoxLayout>

#include <functional>

namespace {
constexpr QSize kOptionsPanelSize(232, 388);
constexpr int kPortFieldWidth = 57;
constexpr int kPortDigits = 5;
constexpr int kDelayFieldWidth = 65;
constexpr int kDelayDigits = 6;
constexpr int kGroupSpacing = 6; // above each grid and the delay

// One cell of a port grid: rows chat, download, trade, plot; columns server, client.
struct PortCell {
    QLineEdit** field;
    const char* name;
    int row;
    int column;
};

// A port grid under its heading. Both grids' first columns are firstColumn wide, so their fields
// line up.
QGridLayout* portGrid(QWidget* panel, const QString& heading, int firstColumn,
                      std::initializer_list<PortCell> cells,
                      const std::function<QLineEdit*(const char*)>& makeField) {
    auto* grid = new QGridLayout();
    grid->setColumnMinimumWidth(0, firstColumn);
    grid->setHorizontalSpacing(8);
    grid->setVerticalSpacing(1);
    grid->addWidget(label(panel, heading, kLargeFontPixels), 0, 0);
    grid->addWidget(label(panel, "Server:"), 0, 1, Qt::AlignBottom);
    grid->addWidget(label(panel, "Client:"), 0, 2, Qt::AlignBottom);
    const QStringList rows{"Chat:", "Download:", "Trade:", "Plot:"};
    for (int r = 0; r < rows.size(); ++r)
        grid->addWidget(label(panel, rows[r]), r + 1, 0);
    for (const PortCell& cell : cells) {
        *cell.field = makeField(cell.name);
        (*cell.field)->setFixedWidth(fieldWidth(*cell.field, kPortFieldWidth, kPortDigits));
        grid->addWidget(*cell.field, cell.row + 1, cell.column + 1);
    }
    grid->setColumnStretch(3, 1);
    return grid;
}

// A folder's caption, then its field with the folder button beside it; returns the button.
QToolButton* addFolderRow(QVBoxLayout* column, const QString& caption, QLineEdit* field,
                          const char* buttonName) {
    QWidget* panel = field->parentWidget();
    column->addWidget(label(panel, caption));
    auto* button = new QToolButton(panel);
    button->setObjectName(buttonName);
    button->setIcon(panel->style()->standardIcon(QStyle::SP_DirOpenIcon));
    auto* row = new QHBoxLayout();
    row->addWidget(field, 1);
    row->addWidget(button);
    column->addLayout(row);
    column->addSpacing(4);
    return button;
}
} // namespace

QLineEdit* TForm1::optionsField(const QString& name) {
    auto* field = new QLineEdit(Panel1);
    field->setObjectName(name);
    return field;
}

void TForm1::buildOptionsPage() {
    auto* scroller = new QScrollArea();
    scroller->setWidgetResizable(true);
    scroller->setFrameShape(QFrame::NoFrame);
    TabSheet1 = scroller;
    Panel1 = borderedPanel(nullptr);
    auto* column = new QVBoxLayout(Panel1);
    column->setContentsMargins(8, 4, 6, 6);
    column->setSpacing(2);

    Edit1 = optionsField("Edit1"); // where received files are saved
    SpeedButton1 = addFolderRow(column, "Path to save:", Edit1, "SpeedButton1");
    Edit4 = optionsField("Edit4"); // whose files are offered
    SpeedButton2 = addFolderRow(column, "Path of the files to trade:", Edit4, "SpeedButton2");
    column->addWidget(label(Panel1, "Nickname:"));
    Edit5 = optionsField("Edit5");
    column->addWidget(Edit5);
    CheckBox1 = new QCheckBox("Switch Ports", Panel1);
    CheckBox1->setObjectName("CheckBox1");
    column->addWidget(CheckBox1);

    const QFontMetrics headingMetrics(designedFont(Panel1->font(), kLargeFontPixels));
    const int firstColumn = std::max(headingMetrics.horizontalAdvance("Remote:"),
                                     Panel1->fontMetrics().horizontalAdvance("Download:"));
    const auto makeField = [this](const char* name) { return optionsField(name); };
    column->addSpacing(kGroupSpacing);
    column->addLayout(portGrid(Panel1, "Local:", firstColumn,
                               {{&Edit6, "Edit6", 0, 0},
                                {&Edit7, "Edit7", 0, 1},
                                {&Edit8, "Edit8", 1, 0},
                                {&Edit10, "Edit10", 2, 0},
                                {&Edit11, "Edit11", 2, 1},
                                {&Edit15, "Edit15", 3, 0},
                                {&Edit18, "Edit18", 3, 1}},
                               makeField));
    column->addSpacing(kGroupSpacing);
    column->addLayout(portGrid(Panel1, "Remote:", firstColumn,
                               {{&Edit13, "Edit13", 0, 0},
                                {&Edit12, "Edit12", 0, 1},
                                {&Edit14, "Edit14", 1, 0},
                                {&Edit17, "Edit17", 2, 0},
                                {&Edit16, "Edit16", 2, 1},
                                {&Edit19, "Edit19", 3, 0},
                                {&Edit20, "Edit20", 3, 1}},
                               makeField));
    auto* delayRow = new QHBoxLayout();
    delayRow->addWidget(label(Panel1, "Delay (in ms):"));
    Edit9 = optionsField("Edit9"); // pause between received files
    Edit9->setFixedWidth(fieldWidth(Edit9, kDelayFieldWidth, kDelayDigits));
    delayRow->addWidget(Edit9);
    delayRow->addStretch(1);
    column->addSpacing(kGroupSpacing);
    column->addLayout(delayRow);
    auto* encryptionRow = new QHBoxLayout();
    QLabel* encryptionCaption = label(Panel1, "Encryption:");
    ComboBox1 = new QComboBox(Panel1); // with other copies of the program: Off, When available...
    ComboBox1->setObjectName("ComboBox1");
    ComboBox1->addItems(encryptionChoiceTexts());
    ComboBox1->setCurrentIndex(int(kDefaultEncryptionChoice));
    ComboBox1->setToolTip("Encrypted sessions with other copies of Vorlax. \"When available\" "
                          "encrypts with copies that offer it and talks plainly with the others; "
                          "\"Required\" talks with encrypting copies only.");
    encryptionCaption->setBuddy(ComboBox1);
    encryptionRow->addWidget(encryptionCaption);
    encryptionRow->addWidget(ComboBox1);
    encryptionRow->addStretch(1);
    column->addSpacing(kGroupSpacing);
    column->addLayout(encryptionRow);
    column->addStretch(1);
    // At least as designed; with a larger font, as large as the fields need.
    Panel1->setMinimumSize(kOptionsPanelSize.expandedTo(Panel1->minimumSizeHint()));
    scroller->setWidget(Panel1);
}

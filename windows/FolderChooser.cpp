#include "windows/FolderChooser.h"

#include <QFileSystemModel>
#include <QFrame>
#include <QPushButton>
#include <QStandardPaths>
#include <QTreeView>
#include <QVBoxLayout>

#include <algorithm>

namespace {
constexpr QPoint kChooserPosition(192, 115);
constexpr QSize kChooserSize(286, 600);
constexpr int kButtonPanelHeight = 45;
constexpr int kTreeIndent = 19;
constexpr QPoint kButtonPosition(40, 8);
constexpr QSize kButtonSize(193, 25);
} // namespace

TForm2::TForm2(QWidget* parent) : QDialog(parent) {
    setWindowTitle("Choose a folder please:");
    move(kChooserPosition);
    resize(kChooserSize);
    auto* box = new QVBoxLayout(this);
    box->setContentsMargins(0, 0, 0, 0);
    model_ = new QFileSystemModel(this);
    model_->setFilter(QDir::AllDirs | QDir::NoDotAndDotDot | QDir::Hidden);
    model_->setRootPath("/");
    ShellTreeView1 = new QTreeView(this);
    ShellTreeView1->setObjectName("ShellTreeView1");
    ShellTreeView1->setAccessibleName("Folders");
    ShellTreeView1->setModel(model_);
    for (int column = 1; column < model_->columnCount(); ++column)
        ShellTreeView1->hideColumn(column);
    ShellTreeView1->setHeaderHidden(true);
    ShellTreeView1->setIndentation(kTreeIndent);
    ShellTreeView1->setRootIndex(model_->index("/"));
    const QString desktop = QStandardPaths::writableLocation(QStandardPaths::DesktopLocation);
    const QModelIndex start = model_->index(QDir(desktop).exists() ? desktop : QDir::homePath());
    ShellTreeView1->setCurrentIndex(start);
    ShellTreeView1->expand(start);
    ShellTreeView1->scrollTo(start);
    box->addWidget(ShellTreeView1, 1);
    auto* panel = new QFrame(this);
    panel->setFrameShape(QFrame::Box);
    BitBtn1 = new QPushButton("OK", panel);
    BitBtn1->setObjectName("BitBtn1");
    // As designed, or as high as the desktop's font needs.
    const QSize button(kButtonSize.width(),
                       std::max(kButtonSize.height(), BitBtn1->sizeHint().height()));
    BitBtn1->setGeometry(QRect(kButtonPosition, button));
    panel->setFixedHeight(std::max(kButtonPanelHeight, button.height() + 2 * kButtonPosition.y()));
    BitBtn1->setDefault(true);
    connect(BitBtn1, &QPushButton::clicked, this, &QDialog::accept);
    box->addWidget(panel);
}

QString TForm2::selectedFolder() const {
    const QModelIndex index = ShellTreeView1->currentIndex();
    return index.isValid() ? model_->filePath(index) : QString();
}

QString TForm2::choose() {
    exec();
    return selectedFolder();
}

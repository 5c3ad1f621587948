#pragma once
// TForm2, the folder chooser: a tree of the file system's folders and an OK button. Its result is
// the selected folder's full path, or empty when nothing is selected.

#include <QDialog>

class QFileSystemModel;
class QTreeView;
class QPushButton;

class TForm2 : public QDialog {
    Q_OBJECT
public:
    explicit TForm2(QWidget* parent = nullptr);
    QTreeView* ShellTreeView1 = nullptr;
    QPushButton* BitBtn1 = nullptr;
    QString selectedFolder() const;
    // Shows the chooser modally; whichever way it is closed, returns the selected folder.
    QString choose();

private:
    QFileSystemModel* model_ = nullptr;
};

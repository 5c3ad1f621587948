#pragma once
// TForm3, the Help window: five numbered hints in an editable box. Edits last until the program
// ends. It is a dialog, so assistive technology announces it as one when it opens.

#include <QDialog>

class QPlainTextEdit;

class TForm3 : public QDialog {
    Q_OBJECT
public:
    explicit TForm3(QWidget* parent = nullptr);
    QPlainTextEdit* Memo1 = nullptr;
    // Shows the window modally and returns once the user has closed it.
    void showModal();

protected:
    void closeEvent(QCloseEvent* event) override;
};

// The seventeen lines of the help text.
QStringList helpLines();

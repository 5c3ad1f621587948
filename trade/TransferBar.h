#pragma once
// The status bar's progress bar for the file now moving, on the sending and on the receiving copy.
// It appears with a file's first progress, shows its name, percent, rate and time left, and goes
// away shortly after the file is through. Screen readers know it as "Transfer".

#include <QElapsedTimer>
#include <QProgressBar>

class QTimer;

class TransferBar : public QProgressBar {
public:
    explicit TransferBar(QWidget* parent);

    // How far the file `name` has got; a new name starts the rate's clock anew.
    void showProgress(const QString& name, qint64 done, qint64 total);
    // The file is through (done) or was given up: the bar shows where it ended, then goes.
    void finish(bool done);
    QString text() const override;

private:
    QString text_;
    QString name_;
    qint64 total_ = -1;
    QElapsedTimer clock_;
    QTimer* hide_;
};

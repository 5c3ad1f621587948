#include "trade/TransferBar.h"

#include "trade/TransferProgress.h"

#include <QTimer>

namespace {
// A finished file's bar stays this long, so the user sees it reach its end.
constexpr int kFinishedLingerMs = 1500;
constexpr int kBarWidth = 360;
} // namespace

TransferBar::TransferBar(QWidget* parent) : QProgressBar(parent), hide_(new QTimer(this)) {
    setObjectName(QStringLiteral("TransferBar"));
    setAccessibleName(QStringLiteral("Transfer"));
    setRange(0, 100);
    setTextVisible(true);
    setMinimumWidth(kBarWidth);
    hide_->setSingleShot(true);
    hide_->setInterval(kFinishedLingerMs);
    connect(hide_, &QTimer::timeout, this, [this] {
        hide();
        name_.clear();
    });
    hide();
}

void TransferBar::showProgress(const QString& name, qint64 done, qint64 total) {
    if (name != name_ || total != total_ || !isVisible()) {
        name_ = name;
        total_ = total;
        clock_.start();
    }
    hide_->stop();
    setValue(transferPercent(done, total));
    text_ = transferProgressText(name, done, total, clock_.elapsed());
    setAccessibleDescription(text_);
    update();
    show();
}

// The text is ours whole: QProgressBar's format would read a "%" in a file's name as a field.
QString TransferBar::text() const {
    return text_;
}

void TransferBar::finish(bool done) {
    if (done) {
        setValue(maximum());
        text_ = transferProgressText(name_, total_, total_, clock_.elapsed());
        update();
    }
    hide_->start();
}

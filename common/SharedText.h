#pragma once
// One text that the GUI thread sets and other threads read, such as the save folder the download
// listener's thread writes into.

#include <QString>

#include <mutex>

class SharedText {
public:
    void set(const QString& text) {
        std::lock_guard lock(mutex_);
        text_ = text;
    }
    QString get() const {
        std::lock_guard lock(mutex_);
        return text_;
    }

private:
    mutable std::mutex mutex_;
    QString text_;
};

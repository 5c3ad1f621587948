#include "net/NetworkThread.h"

NetworkThread::NetworkThread() {
    setObjectName(QStringLiteral("network"));
    mailbox_.moveToThread(this);
    start();
}

NetworkThread::~NetworkThread() {
    stop();
}

void NetworkThread::adopt(QObject* object) {
    object->moveToThread(this);
    post([this, object] { object->setParent(root_); });
}

void NetworkThread::stop(std::function<void()> last) {
    if (stopped_)
        return;
    stopped_ = true;
    post(last ? std::move(last) : [this] { finish(); });
    wait();
    mailbox_.shut();
}

void NetworkThread::run() {
    QObject root;
    root_ = &root;
    exec();
    // The adopted objects go with their parent, here on their own thread.
}

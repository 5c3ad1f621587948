#pragma once
// The pauses of the upload steps (before and after each file), timed on the window's thread. A
// user's connection action calls off the pause under way, so an upload a peer asked for before
// never holds up what the user clicked; closing calls off every pause for good.

#include <QObject>
#include <QTimer>

#include <cstdint>
#include <functional>

class UploadPauses : public QObject {
public:
    UploadPauses();
    // The round a pause belongs to: the pauses of one round are called off together.
    uint64_t round() const { return round_; }
    // Waits ms, then runs then(true); then(false) once the pause is called off instead, or at once
    // when its round is over already. `then` never runs within this call. One pause at a time.
    void pause(int ms, uint64_t round, std::function<void(bool whole)> then);
    // Calls off the pause of the present round; a new round begins.
    void callOff();
    // Calls off every pause, now and later; nothing of them runs any more.
    void close();

private:
    void end(uint64_t pause, bool whole);

    QTimer timer_{this};
    uint64_t pauses_ = 0; // counts pauses, so a late end of one never ends the next
    std::function<void(bool)> then_;
    uint64_t round_ = 0;
    bool closed_ = false;
};

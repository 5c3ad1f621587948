#pragma once
// The two users' agreement to trade, and the uploads it lets run. The window feeds in what
// happened (a click, a message from the peer, a send that went out) and does what comes back;
// nothing else writes these flags. GUI thread only.
//
// An upload may start only while both have agreed to the request now standing: an "Ask for
// download" from either side voids this user's acceptance, and an acceptance counts only once its
// line has gone out for the round it was given in. One upload runs at a time; a request that comes
// while one runs is owed once, so a flood of requests costs one upload, not one each.

#include <cstdint>

class TradeAgreement {
public:
    // What the window does after an event.
    enum class Action {
        None,
        Upload,           // send the next queued file
        TellPeerAccepted, // the peer agreed first: draw this user's attention
    };

    // Named as the trade messages call them: this user, and the peer, agreed to the request.
    bool WeAccepted() const { return weAccepted_; }
    bool PeerAccepted() const { return peerAccepted_; }
    // Counts the requests (this user's and the peer's); an acceptance belongs to one.
    uint64_t round() const { return round_; }

    // Going online or offline, Connect, Disconnect: neither has agreed to anything.
    void clear();
    // This user asked for files: both agree anew.
    void weAsk();
    // The peer asked for files: this user agrees anew, also to an acceptance still on its way.
    void peerAsks();
    // The peer's "Accept the trade" arrived.
    Action peerAccepts();
    // Connect: an acceptance that came from another address than the peer's no longer counts.
    void forgetPeerAcceptance() { peerAccepted_ = false; }
    // This user's acceptance, given in `round`, has gone out to the peer; it counts only if no
    // request came since.
    Action acceptanceSent(uint64_t round);
    // This user clicked "Start download" with no line to send: an upload starts if both agreed.
    Action acceptedAgain() const;

    // Uploads. A request to upload: Upload when one may start now; none while the queue is
    // empty; owed once while one runs.
    Action uploadRequested(bool queueEmpty);
    // The upload under way has ended: Upload when one was owed meanwhile.
    Action uploadEnded();
    // A user's connection action: an upload owed to the peer is forgotten.
    void forgetOwedUpload() { uploadOwed_ = false; }
    bool uploadRunning() const { return uploadRunning_; }

    // Trade messages handed to the network and not sent yet: while any is on its way, the trade
    // client may still reconnect, so an acceptance is worth sending.
    void sendsQueued(int count) { sendsPending_ += count; }
    void sendsEnded(int count) { sendsPending_ -= count; }
    bool sendsPending() const { return sendsPending_ > 0; }

private:
    bool weAccepted_ = false;
    bool peerAccepted_ = false;
    uint64_t round_ = 0;
    bool uploadRunning_ = false;
    bool uploadOwed_ = false;
    int sendsPending_ = 0;
};

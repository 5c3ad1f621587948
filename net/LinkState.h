#pragma once
// Where this copy's link to the network stands, as the connection bar shows it. Three states are
// settled (the bar usable); the others are a step under way (the bar held) or the window closing.
//
//   Offline --going online--> Online --Connect--> Connected
//      ^                        |  ^                  |
//      +-----going offline------+  +---Disconnect-----+
//
// A step that fails returns to the settled state it began from. Going offline starts from any
// settled state, and so do going online and Disconnect: the Online/Offline toggle and the
// Disconnect button are usable whatever the link does.

enum class LinkState {
    Offline,       // red ball; Connect unusable
    GoingOnline,   // opening the listeners
    Online,        // yellow ball; listening, Connect usable
    Connecting,    // the clients try the peer's address
    Connected,     // green ball; every client reached the peer
    Disconnecting, // dropping the connections to the peer
    GoingOffline,  // closing every endpoint
    Closing,       // the window is closing; nothing changes any more
};

// True while a step runs or the window closes: the connection bar is held.
constexpr bool isLinkStep(LinkState state) {
    return state != LinkState::Offline && state != LinkState::Online &&
           state != LinkState::Connected;
}

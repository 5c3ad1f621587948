// Once connected, only the peer speaks. Connections that others opened while this copy was online
// but not yet connected would otherwise stay open after Connect: on them a stranger's chat line,
// file listing or acceptance would count as the peer's, and its idle download connections would
// take the slots the peer's files need. Connect closes them all; from then on every listener
// refuses other addresses at accept and checks the sender again when a message or file begins.
// What strangers sent before Connect (a listing, a request and its ticks, an acceptance) is
// dropped then too, so the peer's list and the send queue hold only the peer's.

#include "app/MainForm.h"

#include <QStatusBar>
#include <QTreeWidget>

void TForm1::closeSideDoors(quint32 peer) {
    for (TTcpServer* server : {ChatServer.get(), TradeServer.get(), Plot_Server.get()})
        server->closeConnectionsNotFrom(peer);
    DownloadServer->closeConnectionsNotFrom(peer);
}

void TForm1::setConnectedPeer(quint32 peer) {
    connectedPeer = peer;
    for (TTcpServer* server : {ChatServer.get(), TradeServer.get(), Plot_Server.get()})
        server->setAllowedPeer(peer);
    DownloadServer->setAllowedPeer(peer);
}

void TForm1::forgetStrangersTrade(quint32 peer) {
    const bool listingDropped = tradeSenders_.listing != peer;
    const bool requestDropped = tradeSenders_.request != peer;
    if (listingDropped) {
        qDeleteAll(ListView1->invisibleRootItem()->takeChildren());
        tradeSenders_.listing = 0;
    }
    if (tradeSenders_.acceptance != peer) {
        agreement.forgetPeerAcceptance();
        tradeSenders_.acceptance = 0;
    }
    if (requestDropped) {
        SendQueue.clear();
        tradeSenders_.request = 0;
        for (int i = 0; i < ListView2->topLevelItemCount(); ++i)
            ListView2->topLevelItem(i)->setCheckState(0, Qt::Unchecked);
    }
    // The summary counts both lists: it follows whichever of them changed.
    if (listingDropped || requestDropped)
        StatusBar1->showMessage(TradeSummary());
}

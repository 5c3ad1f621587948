// Once connected, only the peer speaks. Connections that others opened while this copy was online
// but not yet connected would otherwise stay open after Connect: on them a stranger's chat line,
// file listing or acceptance would count as the peer's, and its idle download connections would
// take the slots the peer's files need. Connect closes them all; from then on every listener
// refuses other addresses at accept and checks the sender again when a message or file begins.

#include "app/MainForm.h"

void TForm1::closeSideDoors(quint32 peer) {
    for (TTcpServer* server : {ChatServer.get(), TradeServer.get(), Plot_Server.get()})
        server->closeConnectionsNotFrom(peer);
    DownloadServer->closeConnectionsNotFrom(peer);
}

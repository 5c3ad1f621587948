// File transfer on the download channel (to be completed).

#include "app/MainForm.h"

#include <QTimer>

void TForm1::UploadNextFile() {}

void TForm1::SendFileStream(const QString&) {}

void TForm1::DownloadServerClientRead(TServerSocket*, QTcpSocket*) {}

void TForm1::Timer1Timer() {
    Timer1->stop();
}

#pragma once
// The local file listing offered to the peer: name, type text and size text of every regular file
// in the trade folder, in the order the file system returns them.

#include <QList>
#include <QString>

struct TradeFileEntry {
    QString name;
    QString type;
    QString size;
    QString path; // the file the entry stands for
};

// The text after the last "." of the name; empty when it has none (".bashrc" gives "bashrc").
QString fileTypeText(const QString& name);

// The file's size as a signed 32-bit decimal (the low 32 bits of the real size read as signed);
// "-1" when there is no such entry.
QString fileSizeText(const QString& path);

// Lists the trade folder. folderPrefix is used as a plain text prefix: each entry's path is
// folderPrefix + name, so a folder must end with "/". Only regular files (hidden ones included),
// never a symbolic link;
// names holding CR, LF or a zero byte are left out, since a name travels as one line. A missing
// folder gives an empty list.
QList<TradeFileEntry> listTradeFolder(const QString& folderPrefix);

// Makes sure the folder a prefix names (the part up to its last "/") exists, creating it and any
// missing parents: a fresh account may lack the default folders. Empty when it exists now,
// otherwise a message for the user naming the folder and the reason.
QString ensureFolder(const QString& folderPrefix);

// True when users other than this one may create, replace or remove files in the folder a prefix
// names (it is group- or world-writable).
bool othersMayWrite(const QString& folderPrefix);

#pragma once
// This copy's trade listing exactly as it last sent it: each name as the bytes that went on the
// wire, with the file it stands for. An upload sends only a file found here, so a peer's request
// can never name a path of its own making.

#include <QByteArray>
#include <QString>

#include <map>
#include <optional>
#include <vector>

class OfferedFiles {
public:
    struct Entry {
        QByteArray wireName; // the name's bytes as sent in the listing
        QString path;        // the file it stands for
    };
    // Replaces the whole offer with the listing just sent.
    void reset(const std::vector<Entry>& entries);
    // The file offered under exactly these bytes, if any.
    std::optional<QString> pathFor(const QByteArray& wireName) const;

private:
    std::map<QByteArray, QString> paths_;
};

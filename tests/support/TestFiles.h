#pragma once
// Files a test writes as a peer or another program would leave them.

#include <QByteArray>
#include <QFile>
#include <QString>

#include <gtest/gtest.h>

// Writes exactly these bytes to path, replacing what was there; a failure fails the test.
inline void writeBytes(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    ASSERT_EQ(f.write(bytes), bytes.size());
}

#pragma once
// Tests never reach the machine's own system bus, where an Avahi daemon would announce their copies
// on the real network: they use the bus a discovery test made for itself (VORLAX_TEST_SYSTEM_BUS,
// set by tests/discovery/run-in-namespace.sh) or none at all. Called before the first use of the
// system bus.

#include <QByteArray>
#include <QtGlobal>

inline void keepOffTheSystemBus() {
    const QByteArray testBus = qgetenv("VORLAX_TEST_SYSTEM_BUS");
    qputenv("DBUS_SYSTEM_BUS_ADDRESS",
            testBus.isEmpty() ? QByteArray("unix:path=/nonexistent/vorlax-tests-use-no-bus")
                              : testBus);
}

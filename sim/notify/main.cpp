// notify-recorder: a notification server on the session bus for tests.
//   notify-recorder --record FILE [--no-actions]
// Exits 1 when the record file cannot be opened or the server name is taken.
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <cstdio>

#include "sim/notify/notify_recorder.h"

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QString record;
    bool withActions = true;
    const QStringList args = QCoreApplication::arguments();
    for (int i = 1; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--record") && i + 1 < args.size())
            record = args[++i];
        else if (args[i] == QLatin1String("--no-actions"))
            withActions = false;
        else {
            std::fprintf(stderr, "usage: notify-recorder --record FILE [--no-actions]\n");
            return 2;
        }
    }
    if (record.isEmpty()) {
        std::fprintf(stderr, "notify-recorder: --record FILE is required\n");
        return 2;
    }
    qel::sim::NotificationServer server(record, withActions);
    if (!server.isRecording()) {
        std::fprintf(stderr, "notify-recorder: cannot write %s\n", qPrintable(record));
        return 1;
    }
    qel::sim::RecorderControl control(server);
    QDBusConnection bus = QDBusConnection::sessionBus();
    const auto all = QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllSignals;
    if (!bus.registerObject(QStringLiteral("/org/freedesktop/Notifications"), &server, all) ||
        !bus.registerObject(QStringLiteral("/org/oberlane/qel/NotifyRecorder"), &control, all)) {
        std::fprintf(stderr, "notify-recorder: no session bus\n");
        return 1;
    }
    const auto claimed = bus.interface()->registerService(QStringLiteral("org.freedesktop.Notifications"),
                                                          QDBusConnectionInterface::DontQueueService,
                                                          QDBusConnectionInterface::DontAllowReplacement);
    if (!claimed.isValid() || claimed.value() != QDBusConnectionInterface::ServiceRegistered) {
        std::fprintf(stderr, "notify-recorder: another notification server runs\n");
        return 1;
    }
    return app.exec();
}

#include "sim/notify/notify_recorder.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace qel::sim {

NotificationServer::NotificationServer(const QString& recordPath, bool withActions)
    : record_(recordPath), withActions_(withActions) {
    record_.open(QIODevice::WriteOnly | QIODevice::Append);
}

QStringList NotificationServer::GetCapabilities() {
    QStringList caps{QStringLiteral("body")};
    if (withActions_) caps << QStringLiteral("actions");
    return caps;
}

uint NotificationServer::Notify(const QString& appName, uint replacesId, const QString& appIcon, const QString& summary,
                                const QString& body, const QStringList& actions, const QVariantMap& hints,
                                int expireTimeout) {
    const uint id = replacesId != 0 && open_.contains(replacesId) ? replacesId : nextId_++;
    QStringList keys;
    // Pairs of key and label; a server without buttons ignores them.
    for (int i = 0; withActions_ && i + 1 < actions.size(); i += 2) keys << actions[i];
    open_[id] = keys;
    QJsonObject entry{{QStringLiteral("id"), static_cast<qint64>(id)},
                      {QStringLiteral("replaces_id"), static_cast<qint64>(replacesId)},
                      {QStringLiteral("app_name"), appName},
                      {QStringLiteral("app_icon"), appIcon},
                      {QStringLiteral("summary"), summary},
                      {QStringLiteral("body"), body},
                      {QStringLiteral("actions"), QJsonArray::fromStringList(actions)},
                      {QStringLiteral("hints"), QJsonArray::fromStringList(hints.keys())},
                      {QStringLiteral("expire_timeout"), expireTimeout}};
    record_.write(QJsonDocument(entry).toJson(QJsonDocument::Compact) + '\n');
    record_.flush();
    return id;
}

void NotificationServer::CloseNotification(uint id) {
    if (open_.remove(id) > 0) emit NotificationClosed(id, 3);
}

QString NotificationServer::GetServerInformation(QString& vendor, QString& version, QString& specVersion) {
    vendor = QStringLiteral("Oberlane");
    version = QStringLiteral("1.0");
    specVersion = QStringLiteral("1.2");
    return QStringLiteral("notify-recorder");
}

bool NotificationServer::invoke(uint id, const QString& actionKey) {
    auto it = open_.find(id);
    if (it == open_.end() || !it->contains(actionKey)) return false;
    emit ActionInvoked(id, actionKey);
    // Servers close a notification once its button is used.
    open_.erase(it);
    emit NotificationClosed(id, 2);
    return true;
}

}  // namespace qel::sim

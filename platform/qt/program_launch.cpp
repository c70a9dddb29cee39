#include "platform/qt/program_launch.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

namespace qel::qt {

QString locateProgram(const std::string& identifier) {
    const QString name = QString::fromStdString(identifier).section(QLatin1Char('.'), -1);
    if (name.isEmpty()) return {};
    for (const QString& folder : {QCoreApplication::applicationDirPath(), QStringLiteral(QEL_INSTALL_BINDIR)}) {
        const QFileInfo candidate(folder + QLatin1Char('/') + name);
        if (candidate.isFile() && candidate.isExecutable()) return candidate.absoluteFilePath();
    }
    return QStandardPaths::findExecutable(name);
}

bool startDetachedQuietly(const QString& program) {
    if (program.isEmpty()) return false;
    QProcess process;
    process.setProgram(program);
    process.setStandardInputFile(QProcess::nullDevice());
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    return process.startDetached();
}

}  // namespace qel::qt

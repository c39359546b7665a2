#include "InstanceMark.h"

#include <QLocalServer>
#include <QString>

#include "diag/Proginit.h"

bool MarkInstanceWindow(QLocalServer& mark) {
    const QString path = QString::fromStdString(InstanceSocketPath());
    QLocalServer::removeServer(path);
    mark.setSocketOptions(QLocalServer::UserAccessOption);
    return mark.listen(path);
}

void UnmarkInstanceWindow(QLocalServer& mark) {
    mark.close();
}

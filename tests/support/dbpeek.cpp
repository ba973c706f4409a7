#include "support/dbpeek.h"

#include <QCryptographicHash>
#include <QFile>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QVariant>

namespace dbpeek {

QByteArray checksum(const std::filesystem::path &path)
{
    QFile file(QString::fromStdString(path.string()));
    return file.open(QIODevice::ReadOnly)
               ? QCryptographicHash::hash(file.readAll(), QCryptographicHash::Sha256)
               : QByteArray();
}

int queryInt(const std::filesystem::path &db, const QString &sql)
{
    int value = -1;
    {
        QSqlDatabase c = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("dbpeek"));
        c.setDatabaseName(QString::fromStdString(db.string()));
        QSqlQuery query(c);
        if (c.open() && query.exec(sql) && query.next())
            value = query.value(0).toInt();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("dbpeek"));
    return value;
}

int childrenOf(const std::filesystem::path &db, int oid)
{
    return queryInt(db, QStringLiteral("SELECT COUNT(*) FROM Items WHERE ParentID = %1").arg(oid));
}

} // namespace dbpeek

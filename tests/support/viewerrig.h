#pragma once

#include "database/annotationrecord.h"
#include "readers/reader.h"
#include "viewer/annotationtable.h"
#include "viewer/annotationtablesortfilterproxymodel.h"

#include <QAbstractItemModelTester>

#include <memory>

/// The viewer's models over a reader: the table and the proxy, both under model testers.
/// Thousands of rows want the Fatal mode: the QtTest mode formats both values of every
/// check that passes. The vertical header shows each row's annotation id.
struct ViewerRig
{
    using Mode = QAbstractItemModelTester::FailureReportingMode;

    explicit ViewerRig(std::shared_ptr<Reader> source, Mode mode = Mode::QtTest)
        : reader(std::move(source))
        , table(reader)
        , tableTester(&table, mode)
    {
        table.rowNumbersByDeviceId = true;
        proxy.setSourceModel(&table);
        proxyTester = std::make_unique<QAbstractItemModelTester>(&proxy, mode);
    }

    std::shared_ptr<Reader> reader;
    annotationTable table;
    QAbstractItemModelTester tableTester;
    annotationTableSortFilterProxyModel proxy;
    std::unique_ptr<QAbstractItemModelTester> proxyTester;
};

/// An annotation on `page` of book `parentId`.
inline AnnotationRecord annotationAt(int32_t oid, int32_t parentId, qint64 created, int32_t page,
                                     const char *highlight, const char *note = "",
                                     int32_t color = color_yellow)
{
    AnnotationRecord record;
    record.oid = oid;
    record.parentId = parentId;
    record.created = created;
    record.page = page;
    record.positionKey = (page - 1) * 10000;
    record.highlightText = QString::fromUtf8(highlight);
    record.noteText = QString::fromUtf8(note);
    record.color = color;
    return record;
}

/// The annotation ids in a model's order over the table, read through its vertical header.
inline QList<int> shownOids(const QAbstractItemModel &model)
{
    QList<int> oids;
    for (int row = 0; row < model.rowCount(); ++row)
        oids << model.headerData(row, Qt::Vertical).toInt();
    return oids;
}

#include "mainwindow/textviewer.h"
#include "ui_textviewer.h"

#include "core/textconv.h"

#include <QDebug>
#include <QUrl>

textViewer::textViewer(const std::filesystem::path &path, const QString &fragment,
                       QWidget *parent, QTextDocument::ResourceType type)
    : QDialog(parent)
    , m_ui(new Ui::textViewer)
{
    m_ui->setupUi(this);
    qDebug() << "Helpviewer original URL + fragment:" << toQString(path) << fragment;
    QUrl url = QUrl::fromLocalFile(toQString(path));
    if (!fragment.isEmpty())
        url.setFragment(fragment);
    m_ui->textBrowser->setSource(url, type);
}

textViewer::~textViewer() = default;

QString textViewer::shownHtml() const
{
    return m_ui->textBrowser->toHtml();
}

#include "mainwindow/aboutdialog.h"
#include "ui_aboutdialog.h"

#include "core/commandline.h"

aboutDialog::aboutDialog(QWidget *parent)
    : QDialog(parent)
    , m_ui(new Ui::aboutDialog)
{
    m_ui->setupUi(this);
    m_ui->label_versiontext->setText(aboutVersionText());
}

aboutDialog::~aboutDialog() = default;

#include "mainwindow/mainwindow.h"
#include "ui_mainwindow.h"

#include "core/globalsclass.h"
#include "readers/gui_msgchannel.h"
#include "readers/readerdata.h"

MainWindow::MainWindow(std::shared_ptr<ReaderData> registry, std::shared_ptr<gui_msgchannel> channel,
                       std::shared_ptr<globalsClass> globals, QWidget *parent)
    : QMainWindow(parent)
    , m_ui(new Ui::MainWindow)
    , m_registry(std::move(registry))
    , m_channel(std::move(channel))
    , m_globals(std::move(globals))
{
    m_ui->setupUi(this);
}

MainWindow::~MainWindow() = default;

#pragma once

#include <QMainWindow>
#include <QScopedPointer>

#include <memory>

class globalsClass;
class ReaderData;
class gui_msgchannel;

namespace Ui {
class MainWindow;
}

/// The program's main window. Shares the message channel and the global state with the core.
class MainWindow final : public QMainWindow
{
    Q_OBJECT
public:
    MainWindow(std::shared_ptr<ReaderData> registry, std::shared_ptr<gui_msgchannel> channel,
               std::shared_ptr<globalsClass> globals, QWidget *parent = nullptr);
    ~MainWindow() override;

private:
    const QScopedPointer<Ui::MainWindow> m_ui;
    std::shared_ptr<ReaderData> m_registry;
    std::shared_ptr<gui_msgchannel> m_channel;
    std::shared_ptr<globalsClass> m_globals;
};

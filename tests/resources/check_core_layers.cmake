# Fails when a source of the widget-free library includes a widget header or a form, or
# when the library links Qt Widgets. Called with SOURCES (separated by "|"), SOURCE_DIR and
# LIBRARIES (the library's link libraries, separated by "|").
string(REPLACE "|" ";" sources "${SOURCES}")
string(REPLACE "|" ";" libraries "${LIBRARIES}")
set(widget_classes
    Widget Dialog MessageBox FileDialog MainWindow Application AbstractButton PushButton
    Label LineEdit ComboBox TableView TableWidget TreeView ListView HeaderView AbstractItemView
    StyledItemDelegate ItemDelegate ProgressDialog ProgressBar Menu MenuBar Action InputDialog
    CheckBox RadioButton Layout BoxLayout VBoxLayout HBoxLayout GridLayout FormLayout
    ToolButton Splitter StatusBar TextEdit PlainTextEdit TextBrowser SpinBox GroupBox
    ScrollArea TabWidget ToolBar Frame Style SystemTrayIcon Completer DesktopWidget Shortcut)
list(JOIN widget_classes "|" alternatives)
set(pattern "#[ \t]*include[ \t]*[<\"]((QtWidgets/)?Q(${alternatives})[>\"]|QtWidgets[/>]|ui_[A-Za-z0-9_]*\\.h)")
set(failures "")
foreach(source IN LISTS sources)
    if(NOT IS_ABSOLUTE "${source}")
        set(source "${SOURCE_DIR}/${source}")
    endif()
    if(NOT source MATCHES "\\.(cpp|h)$" OR NOT EXISTS "${source}")
        continue()
    endif()
    file(STRINGS "${source}" lines REGEX "include")
    foreach(line IN LISTS lines)
        if(line MATCHES "${pattern}")
            string(APPEND failures "${source}: ${line}\n")
        endif()
    endforeach()
endforeach()
foreach(library IN LISTS libraries)
    if(library MATCHES "Widgets")
        string(APPEND failures "marlox_core links ${library}\n")
    endif()
endforeach()
list(LENGTH sources count)
if(count LESS 10)
    message(FATAL_ERROR "only ${count} sources given: the check would prove nothing")
endif()
if(failures)
    message(FATAL_ERROR "The widget-free library reaches into the widgets:\n${failures}")
endif()
message(STATUS "${count} sources of marlox_core checked")

#include "error_dialog.h"

#include <QMessageBox>
#include <QString>

#include "errors.h"
#include "gui_thread.h"
#include "window_registry.h"

namespace cu::window {
namespace {

void show_on_gui_thread(const QString& message)
{
    if (!any_window_open()) return;
    QMessageBox box(QMessageBox::Critical, QStringLiteral("Error"), message, QMessageBox::Ok);
    before_modal(&box);
    box.exec();
}

// Called on whatever thread hit the error; the process ends when it returns.
// A worker that has been stopped is not waited for.
void show_error(const char* message)
{
    const QString text = QString::fromUtf8(message);
    if (on_gui_thread()) show_on_gui_thread(text);
    else run_on_gui([text] { show_on_gui_thread(text); });
}

}  // namespace

void show_fatal_errors_in_a_dialog() { cu::set_error_display_hook(show_error); }

}  // namespace cu::window

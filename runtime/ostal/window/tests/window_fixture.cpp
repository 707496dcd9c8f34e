#include "window_fixture.h"

#include <QAction>
#include <QApplication>
#include <QWidget>

#include <algorithm>
#include <chrono>
#include <thread>

#include "worker.h"

#include "qt_text.h"
#include "window_api.h"

namespace cu::window::test {

std::atomic<int> handler_calls[kHandlerCount];

namespace {

void toggle_search() { ++handler_calls[kToggleSearch]; }
void show_list_menu() { ++handler_calls[kShowListMenu]; }
void open_share() { ++handler_calls[kOpenShare]; }
void copy_share() { ++handler_calls[kCopyShare]; }
void show_about() { ++handler_calls[kShowAbout]; }

using HandlerFn = void (*)();
constexpr HandlerFn handlers[kHandlerCount] = {toggle_search, show_list_menu, open_share, copy_share, show_about};

std::uintptr_t lowest_handler()
{
    std::uintptr_t lowest = UINTPTR_MAX;
    for (HandlerFn h : handlers) lowest = std::min(lowest, reinterpret_cast<std::uintptr_t>(h));
    return lowest;
}

std::uint32_t offset(Handler h)
{
    return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(handlers[h]) - lowest_handler());
}

image::Unit control(std::uint32_t id, std::uint32_t type, const char* name, int left, int top, int width, int height,
                    std::uint32_t flags)
{
    image::Unit u;
    u.id = id;
    u.type = type;
    u.name = gbk(name);
    u.left = left;
    u.top = top;
    u.width = width;
    u.height = height;
    u.flags = flags;
    return u;
}

image::Unit menu_item(std::uint32_t id, const char* caption, std::uint32_t level, bool hidden, std::int32_t handler)
{
    image::Unit u;
    u.id = id;
    u.type = CU_LTYPE_MENU;
    u.menu_level = level;
    u.menu_hidden = hidden;
    u.menu_caption = gbk(caption);
    u.menu_handler = handler;
    return u;
}

image::Unit label(std::uint32_t id, const char* name, int left, int width, const char* text, std::uint32_t colour)
{
    image::Unit u = control(id, CU_LTYPE_LABEL, name, left, 5, width, 20, 1);
    image::LabelBlock& b = u.label.emplace();
    b.style = {2, 0, 8, 0, 0x808080, 0xFFFFFF, 0x808080, colour, 0xFF000000, 1, 0, 0x808080, 0xFFFFFF, 0x808080,
               colour ? 1u : 0u, 1, 0, 0, 0};
    b.text = gbk(text);
    return u;
}

std::function<void()> worker_body;
std::atomic<bool> worker_done{false};

void worker_routine()
{
    worker_body();
    worker_done = true;
}

}  // namespace

void run_on_worker(std::function<void()> body)
{
    worker_body = std::move(body);
    worker_done = false;
    const std::uint32_t handle = cu::start_worker(reinterpret_cast<std::uint64_t>(&worker_routine));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!worker_done && std::chrono::steady_clock::now() < deadline) {
        QApplication::processEvents();
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    // What it queued last, without waiting, is still to run.
    QApplication::processEvents();
    cu::close_worker(handle);
    ASSERT_TRUE(worker_done) << "the worker did not finish";
}

std::string gbk(const char* utf8) { return to_gbk(QString::fromUtf8(utf8)); }

const void* code_base() { return reinterpret_cast<const void*>(lowest_handler()); }

image::Form main_window_form()
{
    image::FormWindow w;
    w.id = kWindow;

    image::Unit window = control(kWindowUnit, CU_LTYPE_WINDOW, "", 50, 50, 380, 215, 1);
    image::WindowBlock& wb = window.window.emplace();
    wb.style = {6, 2, 1, 0xFF000000, 0, 1, 1, 1, 1, 0, 0, 1, 0, 0, 1};
    wb.caption = gbk("Cumulo资源搜索");
    w.units.push_back(window);

    w.units.push_back(menu_item(kMenuRoot, "右键", 0, true, image::kNoHandler));
    w.units.push_back(menu_item(kMenuOpen, "浏览器打开", 1, false, static_cast<std::int32_t>(offset(kOpenShare))));
    w.units.push_back(menu_item(kMenuCopy, "复制地址", 1, false, static_cast<std::int32_t>(offset(kCopyShare))));
    w.units.push_back(menu_item(kMenuAbout, "关于", 1, false, static_cast<std::int32_t>(offset(kShowAbout))));

    w.units.push_back(label(kStatusLabel, "标签_提示", 330, 40, "", 0x0000FF));
    w.units.push_back(label(kTypeLabel, "标签_资源类型", 165, 55, "资源类型:", 0));

    image::Unit combo = control(kCombo, CU_LTYPE_COMBO, "组合框", 225, 5, 60, 20, 5);
    image::ComboBlock& cb = combo.combo.emplace();
    cb.style = {3, 2, 0, 0, 0, 0, 1, 0, 0xFFFFFF, 0, 0};
    cb.items = {{gbk("默认"), 0}, {gbk("相册"), 1}, {gbk("文件"), 2}, {gbk("文件夹"), 3}};
    w.units.push_back(combo);

    image::Unit list = control(kList, CU_LTYPE_LIST, "超级列表框", 5, 30, 365, 150, 5);
    list.events = {{5, offset(kShowListMenu)}};
    image::ListBlock& lb = list.list.emplace();
    lb.style = {1, 3, 0, 0xFFFFFF, 0xFFFFFF, 3, 0, 1, 1, 0, 1, 1, 1, 0, 0, 1, 1, 1, 0, 0, 0, 0, 1, 0xFFFFFFFF, 0, 0, 0, 0};
    lb.columns = {{"", -1, 0, 45, gbk("序号")},
                  {"", -1, 1, 160, gbk("资源名称")},
                  {"", -1, 1, 70, gbk("资源类型")},
                  {"", -1, 1, 70, gbk("资源大小")},
                  {"", -1, 1, 0, gbk("资源地址")}};
    w.units.push_back(list);

    image::Unit button = control(kButton, CU_LTYPE_BUTTON, "按钮_搜索", 290, 5, 35, 20, 5);
    button.events = {{0, offset(kToggleSearch)}};
    image::ButtonBlock& bb = button.button.emplace();
    bb.style = {1, 0, 1, 1, 0, 0};
    bb.caption = gbk("搜索");
    w.units.push_back(button);

    w.units.push_back(label(kKeywordLabel, "标签_关键词", 5, 65, "搜索关键词:", 0));

    image::Unit edit = control(kKeywordBox, CU_LTYPE_EDIT, "编辑框_关键词", 75, 5, 85, 20, 5);
    edit.kind_bytes.assign(82, 0);
    w.units.push_back(edit);

    image::Form form;
    form.windows.push_back(w);
    return form;
}

void OpenWindow::SetUp()
{
    for (auto& calls : handler_calls) calls = 0;
    const std::vector<std::uint8_t> bytes = image::write_form(main_window_form());
    set_layout(bytes, code_base());
    open_start_window(kWindow);
    QApplication::setQuitOnLastWindowClosed(false);
    ASSERT_NE(unit_widget(kWindowUnit), nullptr);
}

void OpenWindow::TearDown()
{
    set_modal_hook({});
    if (QWidget* window = unit_widget(kWindowUnit)) window->close();
    // Runs what workers left queued, then the window's deferred deletion.
    QApplication::processEvents();
    QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

}  // namespace cu::window::test

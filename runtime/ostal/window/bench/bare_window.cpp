// The yardstick for the cold start: a plain Qt Widgets program that shows the
// same widgets as the program's main window, written out by hand.
#include <QApplication>
#include <QComboBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QPushButton>
#include <QTreeWidget>

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QFont font = QApplication::font();
    font.setFamilies({QStringLiteral("WenQuanYi Micro Hei"), font.family()});
    QApplication::setFont(font);

    QMainWindow window;
    window.setWindowTitle(QString::fromUtf8("Cumulo资源搜索"));
    auto* client = new QWidget(&window);
    window.setCentralWidget(client);

    auto label = [client](const char* text, QRect at, QColor colour) {
        auto* l = new QLabel(QString::fromUtf8(text), client);
        l->setGeometry(at);
        QPalette p = l->palette();
        p.setColor(QPalette::WindowText, colour);
        l->setPalette(p);
    };
    label("", {330, 5, 40, 20}, Qt::red);
    label("资源类型:", {165, 5, 55, 20}, Qt::black);
    label("搜索关键词:", {5, 5, 65, 20}, Qt::black);

    auto* combo = new QComboBox(client);
    combo->setGeometry(225, 5, 60, 20);
    for (const char* item : {"默认", "相册", "文件", "文件夹"}) combo->addItem(QString::fromUtf8(item));

    auto* list = new QTreeWidget(client);
    list->setGeometry(5, 30, 365, 150);
    list->setRootIsDecorated(false);
    list->header()->setMinimumSectionSize(0);
    list->header()->setStretchLastSection(false);
    QStringList titles;
    for (const char* t : {"序号", "资源名称", "资源类型", "资源大小", "资源地址"}) titles << QString::fromUtf8(t);
    list->setHeaderLabels(titles);
    const int widths[] = {45, 160, 70, 70, 0};
    for (int i = 0; i < 5; ++i) list->setColumnWidth(i, widths[i]);

    auto* button = new QPushButton(QString::fromUtf8("搜索"), client);
    button->setGeometry(290, 5, 35, 20);
    auto* edit = new QLineEdit(client);
    edit->setGeometry(75, 5, 85, 20);

    window.move(50, 50);
    window.resize(380, 215);
    window.show();
    return QApplication::exec();
}

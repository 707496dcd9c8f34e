// ShowAbout: the help text in a message box titled "关于".
#include "list_commands.h"

#include "unit_commands.h"

extern "C" void ShowAbout()
{
    // The five lines stand in the order 1, 3, 2, 4, 5, joined by CR LF, with
    // no line break after the last.
    const char* help =
        "1.首先非常感谢Tobel的支持,本程序调用的Tobel提供的Api,对接到了他的站点进行资源搜索!"
        "\r\n"
        "3.本程序只能搜索Cumulo中的资源.程序做了搜索限制,每个关键词只能搜索200条.Tobel也不容易,"
        "服务器也在每时每刻做爬虫,服务器亚历山大～"
        "\r\n"
        "2.本程序为公测版,只有简单的资源搜索,无法直接拉起下载器进行下载.需用浏览器打开文件页面,手动下载!"
        "(不会解析文件地址,正准备和Tobel进行交流沟通,调用他的解析功能.如果能解析的话,就可以直接拉起下载器.)"
        "\r\n"
        "4.使用说明:搜索关键词最低不得小于3个字节(一个汉字为2字节);资源类型:默认,为所有类型!"
        "\r\n"
        "5.By:Halvard And By:Tobel";
    prog::message_box(help, "关于");
}

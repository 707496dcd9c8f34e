// Writes the seed corpora of the fuzz targets from the project's own outputs:
// the service's answers as the end-to-end runs build them (for the JSON
// documents and, prefixed with each routine's selector byte, for the text
// routines) and the request targets the program sends (for the service's
// query parsing).
#include <filesystem>
#include <fstream>
#include <string>

#include "answers.h"

namespace {

void write(const std::filesystem::path& dir, const std::string& name, const std::string& bytes)
{
    std::filesystem::create_directories(dir);
    std::ofstream(dir / name, std::ios::binary) << bytes;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) return 2;
    const std::filesystem::path out = argv[1];
    for (int count : {0, 1, 3, 20}) {
        const std::string body = e2e::make_answer(count).body;
        const std::string name = "answer-" + std::to_string(count);
        write(out / "jdoc", name, body);
        write(out / "text", name + "-percent", std::string(1, '\0') + body);
        write(out / "text", name + "-escaped", std::string(1, '\1') + body);
    }
    write(out / "text", "escapes-percent", std::string(1, '\0') + "%u4E2D%u6587.txt %41%%41%u0041%G1 %u-12");
    write(out / "text", "escapes-escaped", std::string(1, '\1') + "{\"name\":\"\\u4e2d\\\\u \\\" ' \\r\\n </script>\"}");

    const std::string tail = "&limit=200&sort=size&desc=f&start=0&in=";
    for (const char* in : {"", "album", "file", "folder"})
        write(out / "query", std::string("search-") + (*in ? in : "all"), "/api/v1/?key=abc" + tail + in);
    write(out / "query", "search-escaped", "/api/v1/?key=%E4%B8%AD%20a+b" + tail + "folder");
    write(out / "query", "share-link", "/share/link?uk=456&shareid=123");
    return 0;
}

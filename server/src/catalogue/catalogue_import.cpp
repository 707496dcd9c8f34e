#include "catalogue/catalogue_import.h"

#include "text/decimal.h"

#include <rapidjson/document.h>
#include <rapidjson/error/en.h>

#include <algorithm>
#include <iterator>
#include <unordered_set>

namespace cumulo::server {

namespace {

using rapidjson::Value;

// A count given as a JSON number or a text of decimal digits; an error text when it is neither
// or does not fit the catalogue.
std::string read_number(const Value& object, const char* key, std::uint64_t& out)
{
    auto member = object.FindMember(key);
    if (member == object.MemberEnd())
        return std::string("\"") + key + "\" is missing";
    const Value& value = member->value;
    if (value.IsUint64()) {
        out = value.GetUint64();
    } else if (value.IsString()) {
        auto number = parse_decimal(std::string_view(value.GetString(), value.GetStringLength()), max_stored_number);
        if (!number)
            return std::string("\"") + key + "\" is not a number";
        out = *number;
    } else if (value.IsDouble() && value.GetDouble() >= 0x1p63) {
        return std::string("\"") + key + "\" is too large";  // past 64 bits the parser gives a double
    } else {
        return std::string("\"") + key + "\" is not a number";
    }
    if (out > max_stored_number)
        return std::string("\"") + key + "\" is too large";
    return {};
}

std::string read_text(const Value& object, const char* key, std::string& out)
{
    auto member = object.FindMember(key);
    if (member == object.MemberEnd())
        return std::string("\"") + key + "\" is missing";
    if (!member->value.IsString())
        return std::string("\"") + key + "\" is not a string";
    out.assign(member->value.GetString(), member->value.GetStringLength());
    return {};
}

std::string read_share(const Value& object, Share& share)
{
    if (!object.IsObject())
        return "not a JSON object";
    std::string type;
    for (std::string problem : {read_text(object, "name", share.name), read_text(object, "type", type),
                                read_number(object, "size", share.size), read_number(object, "uk", share.uk)})
        if (!problem.empty())
            return problem;
    auto parsed_type = type_from_word(type);
    if (!parsed_type)
        return "\"type\" must be \"album\", \"file\" or \"folder\"";
    share.type = *parsed_type;

    bool has_id = object.HasMember("shareid");
    if (has_id == object.HasMember("code"))
        return "a share needs exactly one of \"shareid\" and \"code\"";
    std::string problem = has_id ? read_number(object, "shareid", share.shareid) : read_text(object, "code", share.code);
    if (!problem.empty())
        return problem;
    return share_problem(share);
}

bool is_blank(std::string_view line)
{
    return line.find_first_not_of(" \t\r") == std::string_view::npos;
}

// Reads one line into `line` (without the line break). A line longer than max_line_bytes is
// cut there and the rest skipped, with `too_long` set. False at the end of the input.
bool read_line(std::streambuf& input, std::string& line, bool& too_long)
{
    line.clear();
    too_long = false;
    int c = input.sbumpc();
    if (c == std::char_traits<char>::eof())
        return false;
    for (; c != std::char_traits<char>::eof() && c != '\n'; c = input.sbumpc()) {
        if (line.size() < max_line_bytes)
            line += static_cast<char>(c);
        else
            too_long = true;
    }
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return true;
}

// The line as a JSON document, or the reason it is not one.
std::string parse_json(std::string_view line, rapidjson::Document& document)
{
    // The parser would take a NUL byte for the end of the text and never see what follows.
    if (std::size_t nul = line.find('\0'); nul != std::string_view::npos)
        return "the line holds a NUL byte at byte " + std::to_string(nul + 1);
    // Iterative parsing: a deeply nested line cannot exhaust the stack.
    document.Parse<rapidjson::kParseValidateEncodingFlag | rapidjson::kParseIterativeFlag>(line.data(), line.size());
    if (!document.HasParseError())
        return {};
    return std::string("not valid JSON: ") + rapidjson::GetParseError_En(document.GetParseError()) + " at byte "
           + std::to_string(document.GetErrorOffset() + 1);
}

std::string read_identity(const Value& object, Share& share)
{
    if (!object.IsObject())
        return "not a JSON object";
    bool has_id = object.HasMember("shareid");
    if (has_id == object.HasMember("code"))
        return "a share needs exactly one of \"shareid\" and \"code\"";
    if (!has_id) {
        std::string problem = read_text(object, "code", share.code);
        if (problem.empty() && !is_valid_code(share.code))
            problem = "code must be letters, digits, '-' or '_' (at most 64, not starting with a digit)";
        if (problem.empty() && object.HasMember("uk"))
            problem = read_number(object, "uk", share.uk);
        return problem;
    }
    for (std::string problem : {read_number(object, "shareid", share.shareid), read_number(object, "uk", share.uk)})
        if (!problem.empty())
            return problem;
    if (share.shareid == 0 || share.uk == 0)
        return "shareid and uk must be positive numbers";
    return {};
}

// A line read as JSON, then as a share by `read` (read_share or read_identity).
ParsedShareLine parse_line(std::string_view line, std::string (*read)(const Value&, Share&))
{
    ParsedShareLine parsed;
    rapidjson::Document document;
    parsed.error = parse_json(line, document);
    if (parsed.error.empty())
        parsed.error = read(document, parsed.share);
    return parsed;
}

}  // namespace

ParsedShareLine parse_share_line(std::string_view line)
{
    return parse_line(line, read_share);
}

ParsedShareLine parse_identity_line(std::string_view line)
{
    return parse_line(line, read_identity);
}

namespace {

void note_bad_line(ImportReport& report, std::uint64_t number, std::string reason)
{
    if (report.bad_lines.size() < max_reported_bad_lines)
        report.bad_lines.push_back({number, std::move(reason)});
    ++report.bad_line_count;
}

// Calls `take` with each line that is neither blank nor too long, numbered from 1; notes the
// lines that are too long.
template <typename Take>
void for_each_line(std::istream& input, ImportReport& report, Take take)
{
    std::streambuf* buffer = input.rdbuf();
    if (!buffer)
        return;
    std::string line;
    bool too_long = false;
    for (std::uint64_t number = 1; read_line(*buffer, line, too_long); ++number) {
        if (number == 1 && line.starts_with("\xEF\xBB\xBF"))
            line.erase(0, 3);  // a byte-order mark some editors write
        if (too_long)
            note_bad_line(report, number, "line is longer than " + std::to_string(max_line_bytes) + " bytes");
        else if (!is_blank(line))
            take(number, line);
    }
}

// Commits the input's transaction, unless a line is bad: then it rolls back and nothing counts.
void commit_unless_bad(CatalogueOfRecord& catalogue, CatalogueOfRecord::Transaction& transaction,
                       ImportReport& report)
{
    if (report.bad_line_count != 0) {
        report.added = report.replaced = report.removed = report.not_found = 0;
        return;
    }
    if (report.added + report.replaced + report.removed > 0)
        catalogue.forget_fact("sample");
    transaction.commit();
}

// Calls `write` with each line, as for_each_line does, inside one transaction that is committed
// only when no line is bad; `write` notes the bad ones.
template <typename Write>
void write_lines(CatalogueOfRecord& catalogue, std::istream& input, ImportReport& report, Write write)
{
    CatalogueOfRecord::Transaction transaction(catalogue);
    for_each_line(input, report, write);
    commit_unless_bad(catalogue, transaction, report);
}

// Puts the shares of one input, counting them, and tells a share put twice by the row it
// replaced: one added by this input (rows are numbered upwards), or one it replaced before.
class SharePuts {
public:
    SharePuts(CatalogueOfRecord& catalogue, ImportReport& report) : catalogue_(catalogue), report_(report) {}

    void put(std::uint64_t number, const Share& share)
    {
        CatalogueOfRecord::PutResult put = catalogue_.put(share);
        if (!put.replaced) {
            if (first_added_row_ == 0)
                first_added_row_ = put.row;
            ++report_.added;
        } else if ((first_added_row_ != 0 && put.row >= first_added_row_) || !replaced_rows_.insert(put.row).second) {
            note_bad_line(report_, number, "share " + id_and_owner(share) + " came earlier in the input");
        } else {
            ++report_.replaced;
        }
    }

private:
    CatalogueOfRecord& catalogue_;
    ImportReport& report_;
    std::int64_t first_added_row_ = 0;
    std::unordered_set<std::int64_t> replaced_rows_;
};

// The first max_reported_bad_lines of two reports' bad lines, in line order, and their count.
void add_bad_lines(ImportReport& report, const ImportReport& more)
{
    std::vector<BadLine> merged;
    std::merge(report.bad_lines.begin(), report.bad_lines.end(), more.bad_lines.begin(), more.bad_lines.end(),
               std::back_inserter(merged), [](const BadLine& a, const BadLine& b) { return a.number < b.number; });
    merged.resize(std::min(merged.size(), max_reported_bad_lines));
    report.bad_lines = std::move(merged);
    report.bad_line_count += more.bad_line_count;
}

}  // namespace

ImportReport import_shares(CatalogueOfRecord& catalogue, std::istream& input)
{
    ImportReport report;
    SharePuts puts(catalogue, report);
    write_lines(catalogue, input, report, [&](std::uint64_t number, const std::string& line) {
        ParsedShareLine parsed = parse_share_line(line);
        if (!parsed.error.empty())
            return note_bad_line(report, number, parsed.error);
        puts.put(number, parsed.share);
    });
    return report;
}

ShareLines read_share_lines(std::istream& input)
{
    ShareLines lines;
    for_each_line(input, lines.unreadable, [&](std::uint64_t number, const std::string& line) {
        ParsedShareLine parsed = parse_share_line(line);
        if (!parsed.error.empty())
            return note_bad_line(lines.unreadable, number, parsed.error);
        lines.shares.push_back({number, std::move(parsed.share)});
    });
    return lines;
}

ImportReport import_shares(CatalogueOfRecord& catalogue, const ShareLines& lines)
{
    ImportReport report;
    CatalogueOfRecord::Transaction transaction(catalogue);
    SharePuts puts(catalogue, report);
    for (const auto& [number, share] : lines.shares)
        puts.put(number, share);
    // Shares put twice are found even when some lines could not be read, for a true report.
    add_bad_lines(report, lines.unreadable);
    commit_unless_bad(catalogue, transaction, report);
    return report;
}

ImportReport remove_shares(CatalogueOfRecord& catalogue, std::istream& input)
{
    ImportReport report;
    write_lines(catalogue, input, report, [&](std::uint64_t number, const std::string& line) {
        ParsedShareLine parsed = parse_identity_line(line);
        if (!parsed.error.empty())
            note_bad_line(report, number, parsed.error);
        else if (catalogue.remove(parsed.share))
            ++report.removed;
        else
            ++report.not_found;
    });
    return report;
}

}  // namespace cumulo::server

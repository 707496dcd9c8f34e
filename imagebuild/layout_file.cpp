#include "layout_file.h"

#include <cerrno>
#include <cstdlib>

#include "gbk_text.h"

namespace cu::imagebuild {
namespace {

using image::Unit;

struct KindInfo {
    const char* keyword;
    std::uint32_t type;
};
constexpr KindInfo kKinds[] = {
    {"window", CU_LTYPE_WINDOW}, {"menu", CU_LTYPE_MENU},   {"label", CU_LTYPE_LABEL}, {"button", CU_LTYPE_BUTTON},
    {"edit", CU_LTYPE_EDIT},     {"combo", CU_LTYPE_COMBO}, {"list", CU_LTYPE_LIST},   {"control", 0},
};

struct Token {
    std::string text;
    bool quoted = false;
};

class LayoutParser {
public:
    std::optional<Layout> parse(std::string_view text, std::string* error)
    {
        for (std::size_t from = 0; from <= text.size() && ok_;) {
            std::size_t end = text.find('\n', from);
            if (end == std::string_view::npos) end = text.size();
            ++line_;
            std::vector<Token> tokens;
            if (tokenize(text.substr(from, end - from), tokens) && !tokens.empty()) statement(tokens);
            from = end + 1;
        }
        if (ok_) finish_unit();
        if (ok_ && layout_.form.windows.empty()) {
            line_ = 0;
            fail("the layout has no form");
        }
        if (!ok_) {
            if (error) *error = error_;
            return std::nullopt;
        }
        return std::move(layout_);
    }

private:
    bool fail(const std::string& reason)
    {
        if (ok_) error_ = line_ > 0 ? "line " + std::to_string(line_) + ": " + reason : reason;
        ok_ = false;
        return false;
    }

    bool tokenize(std::string_view line, std::vector<Token>& tokens)
    {
        for (std::size_t i = 0; i < line.size();) {
            const char c = line[i];
            if (c == ' ' || c == '\t' || c == '\r') {
                ++i;
            } else if (c == '#') {
                break;
            } else if (c == '"') {
                Token t{"", true};
                for (++i;; ++i) {
                    if (i >= line.size()) return fail("unterminated text");
                    if (line[i] == '"') break;
                    if (line[i] == '\\') {
                        if (++i >= line.size()) return fail("unterminated text");
                        switch (line[i]) {
                        case 'n': t.text += '\n'; break;
                        case 'r': t.text += '\r'; break;
                        case 't': t.text += '\t'; break;
                        case '"':
                        case '\\': t.text += line[i]; break;
                        default: return fail(std::string("unknown escape \\") + line[i]);
                        }
                    } else {
                        t.text += line[i];
                    }
                }
                ++i;
                tokens.push_back(std::move(t));
            } else {
                std::size_t end = line.find_first_of(" \t\r\"#", i);
                if (end == std::string_view::npos) end = line.size();
                tokens.push_back({std::string(line.substr(i, end - i)), false});
                i = end;
            }
        }
        return true;
    }

    bool number(const Token& t, std::int64_t low, std::int64_t high, std::int64_t& value)
    {
        if (t.quoted || t.text.empty()) return fail("expected a number, found \"" + t.text + "\"");
        errno = 0;
        char* end = nullptr;
        value = std::strtoll(t.text.c_str(), &end, 0);
        if (errno != 0 || *end != '\0' || value < low || value > high)
            return fail("\"" + t.text + "\" is not a number from " + std::to_string(low) + " to " + std::to_string(high));
        return true;
    }

    // A 32-bit word written as unsigned or signed.
    bool word(const Token& t, std::uint32_t& w)
    {
        std::int64_t v = 0;
        if (!number(t, INT32_MIN, UINT32_MAX, v)) return false;
        w = static_cast<std::uint32_t>(v);
        return true;
    }

    bool int32(const Token& t, std::int32_t& v)
    {
        std::int64_t n = 0;
        if (!number(t, INT32_MIN, INT32_MAX, n)) return false;
        v = static_cast<std::int32_t>(n);
        return true;
    }

    bool gbk(const Token& t, std::string& out)
    {
        if (!t.quoted) return fail("expected a quoted text, found " + t.text);
        std::string reason;
        std::optional<std::string> converted = utf8_to_gbk(t.text, &reason);
        if (!converted) return fail(reason);
        out = std::move(*converted);
        return true;
    }

    bool arity(const std::vector<Token>& tokens, std::size_t count)
    {
        if (tokens.size() != count)
            return fail(tokens[0].text + " takes " + std::to_string(count - 1) + " value" + (count == 2 ? "" : "s"));
        return true;
    }

    template <std::size_t N>
    bool words(const std::vector<Token>& tokens, std::array<std::uint32_t, N>& out)
    {
        if (tokens.size() != N + 1)
            return fail("style of this kind takes " + std::to_string(N) + " words, not " + std::to_string(tokens.size() - 1));
        for (std::size_t i = 0; i < N; ++i)
            if (!word(tokens[i + 1], out[i])) return false;
        return true;
    }

    Unit* unit() { return unit_open_ ? &layout_.form.windows.back().units.back() : nullptr; }

    void statement(const std::vector<Token>& tokens)
    {
        const std::string& keyword = tokens[0].text;
        if (tokens[0].quoted) {
            fail("a statement starts with a keyword, not a text");
            return;
        }
        if (keyword == "form") {
            form_statement(tokens);
            return;
        }
        for (const KindInfo& k : kKinds) {
            if (keyword == k.keyword) {
                unit_statement(tokens, k.type);
                return;
            }
        }
        if (!unit()) {
            fail("\"" + keyword + "\" outside a unit");
            return;
        }
        if (unit()->is_menu_item())
            menu_property(tokens);
        else
            control_property(tokens);
    }

    void form_statement(const std::vector<Token>& tokens)
    {
        if (!arity(tokens, 2)) return;
        finish_unit();
        image::FormWindow w;
        if (!word(tokens[1], w.id)) return;
        for (const image::FormWindow& other : layout_.form.windows)
            if (other.id == w.id) {
                fail("form " + tokens[1].text + " is given twice");
                return;
            }
        layout_.form.windows.push_back(std::move(w));
    }

    void unit_statement(const std::vector<Token>& tokens, std::uint32_t type)
    {
        if (layout_.form.windows.empty()) {
            fail("a unit before any form");
            return;
        }
        if (tokens.size() < 2 || tokens.size() > 3) {
            fail(tokens[0].text + " takes a unit id and an optional name");
            return;
        }
        finish_unit();
        Unit u;
        u.type = type;
        if (!word(tokens[1], u.id)) return;
        if (layout_.form.windows.back().find(u.id)) {
            fail("unit " + tokens[1].text + " is given twice");
            return;
        }
        if (tokens.size() == 3) {
            std::string reason;
            std::optional<std::string> name = utf8_to_gbk(tokens[2].text, &reason);
            if (!name) {
                fail(reason);
                return;
            }
            u.name = std::move(*name);
        }
        switch (type) {
        case CU_LTYPE_WINDOW: u.window.emplace(); break;
        case CU_LTYPE_LABEL: u.label.emplace(); break;
        case CU_LTYPE_BUTTON: u.button.emplace(); break;
        case CU_LTYPE_COMBO: u.combo.emplace(); break;
        case CU_LTYPE_LIST: u.list.emplace(); break;
        default: break;
        }
        unit_line_ = line_;
        generic_unit_ = type == 0;
        layout_.form.windows.back().units.push_back(std::move(u));
        unit_open_ = true;
    }

    void finish_unit()
    {
        Unit* u = unit();
        if (u && u->type == 0) {
            line_ = unit_line_;
            fail("a control needs a type");
        }
        unit_open_ = false;
    }

    void add_handler(const Token& routine, std::optional<std::size_t> event)
    {
        if (routine.quoted || routine.text.empty()) {
            fail("a handler is a routine name");
            return;
        }
        layout_.handlers.push_back({layout_.form.windows.size() - 1, layout_.form.windows.back().units.size() - 1, event,
                                    routine.text, line_});
    }

    void menu_property(const std::vector<Token>& tokens)
    {
        Unit& u = *unit();
        const std::string& k = tokens[0].text;
        if (k == "level") {
            std::int64_t v = 0;
            if (arity(tokens, 2) && number(tokens[1], 0, 1, v)) u.menu_level = static_cast<std::uint32_t>(v);
        } else if (k == "hidden") {
            if (arity(tokens, 1)) u.menu_hidden = true;
        } else if (k == "caption") {
            if (arity(tokens, 2)) gbk(tokens[1], u.menu_caption);
        } else if (k == "comment") {
            if (arity(tokens, 2)) gbk(tokens[1], u.comment);
        } else if (k == "on") {
            if (!arity(tokens, 3)) return;
            if (tokens[1].text != "chosen") {
                fail("a menu item has only the \"chosen\" event");
                return;
            }
            if (u.menu_handler != image::kNoHandler) {
                fail("a menu item has one handler");
                return;
            }
            u.menu_handler = 0;  // placeholder until bound
            add_handler(tokens[2], std::nullopt);
        } else {
            fail("\"" + k + "\" does not apply to a menu item");
        }
    }

    void control_property(const std::vector<Token>& tokens)
    {
        Unit& u = *unit();
        const std::string& k = tokens[0].text;
        if (k == "type") {
            if (!arity(tokens, 2)) return;
            if (!generic_unit_) {
                fail("only a \"control\" takes a type; the other kinds have their own");
                return;
            }
            if (word(tokens[1], u.type))
                for (const KindInfo& kind : kKinds)
                    if (kind.type == u.type) fail(std::string("a unit of this type is written as \"") + kind.keyword + "\"");
        } else if (k == "geometry") {
            if (arity(tokens, 5)) int32(tokens[1], u.left) && int32(tokens[2], u.top) && int32(tokens[3], u.width) &&
                                      int32(tokens[4], u.height);
        } else if (k == "flags") {
            u.flags = 0;
            for (std::size_t i = 1; i < tokens.size(); ++i) {
                std::uint32_t bit = 0;
                if (tokens[i].text == "visible") {
                    bit = image::kFlagVisible;
                } else if (tokens[i].text == "focus") {
                    bit = image::kFlagTakesFocus;
                } else if (!word(tokens[i], bit)) {
                    return;
                }
                u.flags |= bit;
            }
        } else if (k == "comment") {
            if (arity(tokens, 2)) gbk(tokens[1], u.comment);
        } else if (k == "tag") {
            if (arity(tokens, 2)) gbk(tokens[1], u.tag);
        } else if (k == "parent") {
            if (arity(tokens, 2)) word(tokens[1], u.parent);
        } else if (k == "child") {
            std::uint32_t id = 0;
            if (arity(tokens, 2) && word(tokens[1], id)) u.children.push_back(id);
        } else if (k == "pointer") {
            u.pointer.clear();
            for (std::size_t i = 1; i < tokens.size(); ++i) {
                std::int64_t b = 0;
                if (!number(tokens[i], 0, 255, b)) return;
                u.pointer.push_back(static_cast<std::uint8_t>(b));
            }
        } else if (k == "on") {
            image::EventBinding e;
            if (!arity(tokens, 3) || !word(tokens[1], e.event)) return;
            u.events.push_back(e);
            add_handler(tokens[2], u.events.size() - 1);
        } else if (k == "block" || k == "block-bytes") {
            raw_block(tokens, u);
        } else {
            kind_property(tokens, u);
        }
    }

    void raw_block(const std::vector<Token>& tokens, Unit& u)
    {
        if (u.window || u.label || u.button || u.combo || u.list) {
            fail("this kind's block is written with style and its own statements");
            return;
        }
        for (std::size_t i = 1; i < tokens.size(); ++i) {
            if (tokens[0].text == "block") {
                std::uint32_t w = 0;
                if (!word(tokens[i], w)) return;
                for (int b = 0; b < 4; ++b) u.kind_bytes.push_back(static_cast<std::uint8_t>(w >> (8 * b)));
            } else {
                std::int64_t b = 0;
                if (!number(tokens[i], 0, 255, b)) return;
                u.kind_bytes.push_back(static_cast<std::uint8_t>(b));
            }
        }
    }

    void kind_property(const std::vector<Token>& tokens, Unit& u)
    {
        const std::string& k = tokens[0].text;
        if (k == "style") {
            if (u.window) words(tokens, u.window->style);
            else if (u.label) words(tokens, u.label->style);
            else if (u.button) words(tokens, u.button->style);
            else if (u.combo) words(tokens, u.combo->style);
            else if (u.list) words(tokens, u.list->style);
            else fail("this kind has no style words; write its block with block and block-bytes");
        } else if (k == "caption" && (u.window || u.button)) {
            if (arity(tokens, 2)) gbk(tokens[1], u.window ? u.window->caption : u.button->caption);
        } else if (k == "text" && u.label) {
            if (arity(tokens, 2)) gbk(tokens[1], u.label->text);
        } else if (k == "item" && u.combo) {
            image::ComboItem item;
            if (arity(tokens, 3) && int32(tokens[1], item.value) && gbk(tokens[2], item.text)) {
                if (u.combo->items.size() == UINT16_MAX) {
                    fail("too many items");
                    return;
                }
                u.combo->items.push_back(std::move(item));
            }
        } else if (k == "column" && u.list) {
            image::ListColumn c;
            if (arity(tokens, 4) && word(tokens[1], c.format) && word(tokens[2], c.width) && gbk(tokens[3], c.title))
                u.list->columns.push_back(std::move(c));
        } else {
            fail("\"" + k + "\" does not apply to this kind of unit");
        }
    }

    Layout layout_;
    bool unit_open_ = false;
    bool generic_unit_ = false;  // opened with "control": its type is given by a statement
    bool ok_ = true;
    int line_ = 0;
    int unit_line_ = 0;
    std::string error_;
};

}  // namespace

std::optional<Layout> parse_layout(std::string_view text, std::string* error) { return LayoutParser().parse(text, error); }

bool bind_handlers(Layout& layout, const std::map<std::string, std::uint32_t>& routines, std::string* error)
{
    for (const HandlerUse& h : layout.handlers) {
        auto it = routines.find(h.routine);
        if (it == routines.end()) {
            if (error) *error = "line " + std::to_string(h.line) + ": handler " + h.routine + " is not a routine in the code";
            return false;
        }
        Unit& u = layout.form.windows[h.window].units[h.unit];
        if (h.event)
            u.events[*h.event].handler = it->second;
        else
            u.menu_handler = static_cast<std::int32_t>(it->second);
    }
    return true;
}

}  // namespace cu::imagebuild

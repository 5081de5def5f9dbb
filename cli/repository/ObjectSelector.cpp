#include "ObjectSelector.h"

#include "CliError.h"

#include <cctype>
#include <map>

namespace {

const char* const kKinds[] = {"schema", "table", "view", "sequence", "function", "type", "domain"};

bool KnownKind(const std::string& kind) {
    for (const char* known : kKinds)
        if (kind == known)
            return true;
    return false;
}

std::string Lower(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// Reads one identifier at pos (quoted or plain) and moves pos past it.
class NameReader {
public:
    NameReader(const std::string& whole, const std::string& text)
        : whole_(whole), text_(text) {}

    std::string Identifier() {
        if (pos_ < text_.size() && text_[pos_] == '"')
            return Quoted();
        const std::size_t start = pos_;
        while (pos_ < text_.size() && (std::isalnum(static_cast<unsigned char>(text_[pos_])) ||
                                       text_[pos_] == '_' || text_[pos_] == '$'))
            ++pos_;
        if (pos_ == start || std::isdigit(static_cast<unsigned char>(text_[start])))
            throw Bad("a name is missing or starts with a character SQL does not allow unquoted");
        return Lower(text_.substr(start, pos_ - start));
    }
    bool Take(char c) {
        if (pos_ < text_.size() && text_[pos_] == c) {
            ++pos_;
            return true;
        }
        return false;
    }
    bool AtEnd() const { return pos_ == text_.size(); }
    std::string Rest() const { return text_.substr(pos_); }
    CliError Bad(const std::string& why) const {
        return CliError::Usage("--object '" + whole_ + "': " + why);
    }

private:
    std::string Quoted() {
        std::string name;
        for (++pos_; pos_ < text_.size(); ++pos_) {
            if (text_[pos_] != '"') {
                name += text_[pos_];
                continue;
            }
            if (pos_ + 1 < text_.size() && text_[pos_ + 1] == '"') {
                name += '"';
                ++pos_;
                continue;
            }
            ++pos_;
            if (name.empty())
                throw Bad("a quoted name is empty");
            return name;
        }
        throw Bad("a quoted name has no closing quote");
    }

    const std::string& whole_;
    const std::string& text_;
    std::size_t pos_ = 0;
};

std::string CollapseBlanks(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (std::isspace(static_cast<unsigned char>(c))) {
            if (!out.empty() && out.back() != ' ')
                out += ' ';
        } else {
            out += c;
        }
    }
    while (!out.empty() && out.back() == ' ')
        out.pop_back();
    return out;
}

// Short spellings of built-in types, written the way pg_dump lists argument types.
std::string CanonicalType(const std::string& written) {
    static const std::map<std::string, std::string> kAliases = {
        {"int", "integer"},
        {"int4", "integer"},
        {"int8", "bigint"},
        {"int2", "smallint"},
        {"float8", "double precision"},
        {"float4", "real"},
        {"bool", "boolean"},
        {"varchar", "character varying"},
        {"char", "character"},
        {"timestamptz", "timestamp with time zone"},
        {"timestamp", "timestamp without time zone"},
        {"timetz", "time with time zone"},
        {"time", "time without time zone"},
        {"decimal", "numeric"},
    };
    std::string type = CollapseBlanks(written);
    if (type.find('"') == std::string::npos)
        type = Lower(type);
    const auto alias = kAliases.find(type);
    return alias == kAliases.end() ? type : alias->second;
}

std::vector<std::string> ArgTypes(const NameReader& reader, const std::string& inside) {
    std::vector<std::string> types;
    if (CollapseBlanks(inside).empty())
        return types;
    int depth = 0;
    std::string current;
    for (char c : inside) {
        if (c == '(')
            ++depth;
        if (c == ')')
            --depth;
        if (c == ',' && depth == 0) {
            types.push_back(current);
            current.clear();
            continue;
        }
        current += c;
    }
    types.push_back(current);
    for (std::string& type : types) {
        type = CanonicalType(type);
        if (type.empty())
            throw reader.Bad("an argument type is empty");
    }
    return types;
}

std::string Quote(const std::string& name) {
    bool plain = !name.empty() && !std::isdigit(static_cast<unsigned char>(name[0]));
    for (char c : name)
        if (!(std::islower(static_cast<unsigned char>(c)) ||
              std::isdigit(static_cast<unsigned char>(c)) || c == '_'))
            plain = false;
    if (plain)
        return name;
    std::string quoted = "\"";
    for (char c : name)
        quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    return quoted + "\"";
}

} // namespace

ObjectSelector ObjectSelector::Parse(const std::string& text) {
    const std::size_t colon = text.find(':');
    if (colon == std::string::npos)
        throw CliError::Usage("--object '" + text + "' is not KIND:SCHEMA.NAME");
    ObjectSelector selector;
    selector.kind = Lower(text.substr(0, colon));
    if (!KnownKind(selector.kind))
        throw CliError::Usage("--object '" + text + "': unknown kind '" + text.substr(0, colon) +
                              "' (schema, table, view, sequence, function, type or domain)");
    const std::string rest = text.substr(colon + 1);
    NameReader reader(text, rest);
    selector.schema = reader.Identifier();
    if (selector.kind == "schema") {
        selector.name = selector.schema;
    } else {
        if (!reader.Take('.'))
            throw reader.Bad("the name must be qualified with its schema (SCHEMA.NAME)");
        selector.name = reader.Identifier();
    }
    if (selector.kind == "function") {
        const std::string args = reader.Rest();
        if (args.size() < 2 || args.front() != '(' || args.back() != ')')
            throw reader.Bad("a function names its argument types, such as add(integer, integer)");
        selector.argTypes = ArgTypes(reader, args.substr(1, args.size() - 2));
    } else if (!reader.AtEnd()) {
        throw reader.Bad("unexpected '" + reader.Rest() + "' after the name");
    }
    // The agent's browse paths separate their parts with '/'.
    if (selector.schema.find('/') != std::string::npos ||
        selector.name.find('/') != std::string::npos)
        throw reader.Bad("names holding '/' cannot be restored by object");
    return selector;
}

std::string ObjectSelector::Keyword() const {
    std::string upper = kind;
    for (char& c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return upper;
}

std::string ObjectSelector::ListedName() const {
    if (kind != "function")
        return name;
    std::string listed = name + "(";
    for (std::size_t i = 0; i < argTypes.size(); ++i)
        listed += (i ? ", " : "") + argTypes[i];
    return listed + ")";
}

std::string ObjectSelector::Text() const {
    if (kind == "schema")
        return kind + ":" + Quote(name);
    std::string text = kind + ":" + Quote(schema) + "." + Quote(name);
    if (kind == "function")
        text += ListedName().substr(name.size());
    return text;
}

// The registry: keys and values in memory, names compared without regard to case, loaded from
// and saved to REGEDIT4 text. Kernel paths "\Registry\MACHINE\..." are the same keys as
// "HKEY_LOCAL_MACHINE\..." in the file.
#include <cctype>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "host/kernel/kernel_internal.h"

using namespace nimbra::host;

namespace {

struct Value {
    std::u16string name;  // as written
    ULONG type = REG_NONE;
    std::vector<uint8_t> data;
};

struct Key {
    std::u16string name;  // as written
    std::map<std::u16string, std::unique_ptr<Key>> subkeys;  // by lower-case name
    std::map<std::u16string, Value> values;                  // by lower-case name
};

struct Registry {
    std::mutex lock;  // guards the tree
    Key root;         // its subkeys are the hives
};

Registry& TheRegistry()
{
    static Registry* registry = new Registry;
    return *registry;
}

std::u16string Lower(std::u16string_view text)
{
    std::u16string lower(text);
    for (char16_t& c : lower) {
        if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
    }
    return lower;
}

bool SameName(std::u16string_view a, std::u16string_view b)
{
    return Lower(a) == Lower(b);
}

// ---- Text conversion (file text is UTF-8) ----------------------------------------------------

std::u16string FromUtf8(std::string_view text)
{
    std::u16string out;
    for (size_t i = 0; i < text.size();) {
        auto byte = static_cast<unsigned char>(text[i]);
        char32_t code;
        size_t extra;
        if (byte < 0x80) {
            code = byte;
            extra = 0;
        } else if ((byte >> 5) == 6) {
            code = byte & 0x1F;
            extra = 1;
        } else if ((byte >> 4) == 14) {
            code = byte & 0x0F;
            extra = 2;
        } else if ((byte >> 3) == 30) {
            code = byte & 0x07;
            extra = 3;
        } else {
            code = 0xFFFD;
            extra = 0;
        }
        ++i;
        for (size_t k = 0; k < extra && i < text.size(); ++k, ++i) {
            code = (code << 6) | (static_cast<unsigned char>(text[i]) & 0x3F);
        }
        if (code >= 0x10000) {
            code -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(code));
        }
    }
    return out;
}

std::string ToUtf8(std::u16string_view text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        char32_t code = text[i];
        if (code >= 0xD800 && code < 0xDC00 && i + 1 < text.size()) {
            code = 0x10000 + ((code - 0xD800) << 10) + (text[++i] - 0xDC00);
        }
        if (code < 0x80) {
            out.push_back(static_cast<char>(code));
        } else if (code < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (code >> 6)));
            out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        } else if (code < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (code >> 12)));
            out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (code >> 18)));
            out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        }
    }
    return out;
}

// ---- Paths -----------------------------------------------------------------------------------

// Splits a kernel or REGEDIT path into key names, hive first ("HKEY_LOCAL_MACHINE", ...).
// Returns nothing for a path outside the hives we know.
// Splits a backslash-separated path into its names, skipping empty ones.
std::vector<std::u16string> SplitNames(std::u16string_view path)
{
    std::vector<std::u16string> parts;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find(u'\\', start);
        if (end == std::u16string_view::npos) end = path.size();
        if (end > start) parts.emplace_back(path.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

std::optional<std::vector<std::u16string>> SplitPath(std::u16string_view path)
{
    std::vector<std::u16string> parts = SplitNames(path);
    if (parts.empty()) return std::nullopt;
    if (SameName(parts[0], u"Registry")) {
        if (parts.size() < 2) return std::nullopt;
        std::u16string hive;
        if (SameName(parts[1], u"MACHINE")) {
            hive = u"HKEY_LOCAL_MACHINE";
        } else if (SameName(parts[1], u"USER")) {
            hive = u"HKEY_USERS";
        } else {
            return std::nullopt;
        }
        parts.erase(parts.begin());
        parts[0] = hive;
        return parts;
    }
    if (SameName(parts[0], u"HKLM")) parts[0] = u"HKEY_LOCAL_MACHINE";
    std::u16string hive = Lower(parts[0]);
    if (hive == u"hkey_local_machine") {
        parts[0] = u"HKEY_LOCAL_MACHINE";
    } else if (hive == u"hkey_users") {
        parts[0] = u"HKEY_USERS";
    } else if (hive == u"hkey_current_user") {
        parts[0] = u"HKEY_CURRENT_USER";
    } else if (hive == u"hkey_classes_root") {
        parts[0] = u"HKEY_CLASSES_ROOT";
    } else {
        return std::nullopt;
    }
    return parts;
}

// Registry lock held.
Key* FindKey(Registry& registry, const std::vector<std::u16string>& parts)
{
    Key* key = &registry.root;
    for (const std::u16string& part : parts) {
        auto it = key->subkeys.find(Lower(part));
        if (it == key->subkeys.end()) return nullptr;
        key = it->second.get();
    }
    return key;
}

// Registry lock held.
Key* CreateKey(Registry& registry, const std::vector<std::u16string>& parts)
{
    Key* key = &registry.root;
    for (const std::u16string& part : parts) {
        std::unique_ptr<Key>& child = key->subkeys[Lower(part)];
        if (!child) {
            child = std::make_unique<Key>();
            child->name = part;
        }
        key = child.get();
    }
    return key;
}

// Registry lock held.
void DeleteKey(Registry& registry, const std::vector<std::u16string>& parts)
{
    if (parts.size() < 2) return;  // hives stay
    std::vector<std::u16string> parentParts(parts.begin(), parts.end() - 1);
    Key* parent = FindKey(registry, parentParts);
    if (parent != nullptr) parent->subkeys.erase(Lower(parts.back()));
}

std::u16string FromWide(PCWSTR text)
{
    if (text == nullptr) return {};
    size_t length = 0;
    while (text[length] != 0) ++length;
    return std::u16string(text, length);
}

std::vector<uint8_t> StringData(std::u16string_view text)
{
    std::vector<uint8_t> data((text.size() + 1) * sizeof(char16_t));
    std::memcpy(data.data(), text.data(), text.size() * sizeof(char16_t));
    return data;  // terminator included, as the platform stores REG_SZ
}

// ---- REGEDIT4 reading ------------------------------------------------------------------------

// Parses a quoted string at text[pos] ('"' expected), with \\ and \" escapes.
bool ParseQuoted(std::string_view text, size_t& pos, std::string& out)
{
    if (pos >= text.size() || text[pos] != '"') return false;
    for (++pos; pos < text.size(); ++pos) {
        char c = text[pos];
        if (c == '"') {
            ++pos;
            return true;
        }
        if (c == '\\' && pos + 1 < text.size()) c = text[++pos];
        out.push_back(c);
    }
    return false;
}

bool ParseHexBytes(std::string_view text, std::vector<uint8_t>& out)
{
    size_t pos = 0;
    while (pos < text.size()) {
        while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\t' || text[pos] == ',')) ++pos;
        if (pos >= text.size()) break;
        size_t end = pos;
        while (end < text.size() && std::isxdigit(static_cast<unsigned char>(text[end]))) ++end;
        if (end == pos || end - pos > 2) return false;
        out.push_back(static_cast<uint8_t>(std::stoul(std::string(text.substr(pos, end - pos)), nullptr, 16)));
        pos = end;
        while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\t')) ++pos;
        if (pos < text.size() && text[pos] != ',') return false;
    }
    return true;
}

// Parses the right-hand side of a value line into value (or reports a deletion).
bool ParseValueData(std::string_view text, Value& value, bool& remove, std::string& error)
{
    remove = false;
    if (text == "-") {
        remove = true;
        return true;
    }
    if (!text.empty() && text[0] == '"') {
        size_t pos = 0;
        std::string content;
        if (!ParseQuoted(text, pos, content) || pos != text.size()) {
            error = "bad string value";
            return false;
        }
        value.type = REG_SZ;
        value.data = StringData(FromUtf8(content));
        return true;
    }
    if (text.rfind("dword:", 0) == 0) {
        std::string_view digits = text.substr(6);
        if (digits.empty() || digits.size() > 8) {
            error = "bad dword value";
            return false;
        }
        for (char c : digits) {
            if (!std::isxdigit(static_cast<unsigned char>(c))) {
                error = "bad dword value";
                return false;
            }
        }
        auto number = static_cast<uint32_t>(std::stoul(std::string(digits), nullptr, 16));
        value.type = REG_DWORD;
        value.data.resize(4);
        std::memcpy(value.data.data(), &number, 4);
        return true;
    }
    if (text.rfind("hex", 0) == 0) {
        size_t colon = text.find(':');
        if (colon == std::string_view::npos) {
            error = "bad hex value";
            return false;
        }
        std::string_view kind = text.substr(3, colon - 3);
        value.type = REG_BINARY;
        if (!kind.empty()) {
            if (kind.size() < 3 || kind.front() != '(' || kind.back() != ')') {
                error = "bad hex value type";
                return false;
            }
            std::string typeDigits(kind.substr(1, kind.size() - 2));
            char* end = nullptr;
            unsigned long type = std::strtoul(typeDigits.c_str(), &end, 16);
            if (typeDigits.empty() || *end != 0) {
                error = "bad hex value type";
                return false;
            }
            value.type = static_cast<ULONG>(type);
        }
        if (!ParseHexBytes(text.substr(colon + 1), value.data)) {
            error = "bad hex bytes";
            return false;
        }
        return true;
    }
    error = "unknown value format";
    return false;
}

std::string_view Trim(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) text.remove_suffix(1);
    return text;
}

// ---- REGEDIT4 writing ------------------------------------------------------------------------

std::string Quote(std::string_view text)
{
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') out.push_back('\\');
        out.push_back(c);
    }
    out.push_back('"');
    return out;
}

std::string FormatValue(const Value& value)
{
    std::string name = value.name.empty() ? "@" : Quote(ToUtf8(value.name));
    char buffer[32];
    if (value.type == REG_DWORD && value.data.size() == 4) {
        uint32_t number;
        std::memcpy(&number, value.data.data(), 4);
        std::snprintf(buffer, sizeof(buffer), "dword:%08x", number);
        return name + "=" + buffer;
    }
    if (value.type == REG_SZ && value.data.size() % 2 == 0 && value.data.size() >= 2) {
        std::u16string text(value.data.size() / 2, u'\0');
        std::memcpy(text.data(), value.data.data(), value.data.size());
        if (text.back() == u'\0' && text.find(u'\0') == text.size() - 1) {
            text.pop_back();
            return name + "=" + Quote(ToUtf8(text));
        }
    }
    std::string out = name + "=";
    if (value.type == REG_BINARY) {
        out += "hex:";
    } else {
        std::snprintf(buffer, sizeof(buffer), "hex(%x):", static_cast<unsigned>(value.type));
        out += buffer;
    }
    for (size_t i = 0; i < value.data.size(); ++i) {
        std::snprintf(buffer, sizeof(buffer), i == 0 ? "%02x" : ",%02x", value.data[i]);
        out += buffer;
    }
    return out;
}

void WriteKey(std::ostream& out, const Key& key, const std::string& path)
{
    out << "[" << path << "]\n";
    for (const auto& [name, value] : key.values) out << FormatValue(value) << "\n";
    out << "\n";
    for (const auto& [name, child] : key.subkeys) WriteKey(out, *child, path + "\\" + ToUtf8(child->name));
}

// A snapshot of a value, for query routines that run without the registry lock.
std::optional<Value> ReadValue(const std::vector<std::u16string>& keyParts, std::u16string_view name)
{
    Registry& registry = TheRegistry();
    std::lock_guard guard(registry.lock);
    Key* key = FindKey(registry, keyParts);
    if (key == nullptr) return std::nullopt;
    auto it = key->values.find(Lower(name));
    if (it == key->values.end()) return std::nullopt;
    return it->second;
}

void CheckRegistryIrql()
{
    if (detail::ThreadIrql() > APC_LEVEL) {
        BugCheck("registry accessed above APC_LEVEL", NtCallSite::Current(),
                 "IRQL " + std::to_string(detail::ThreadIrql()));
    }
}

// Stores a DWORD queried DIRECT; anything but a 4-byte REG_DWORD is refused rather than
// written over a ULONG-sized buffer.
NTSTATUS StoreDirect(ULONG type, const void* data, size_t length, PVOID entryContext)
{
    if (type != REG_DWORD || length != sizeof(ULONG) || data == nullptr) return STATUS_OBJECT_TYPE_MISMATCH;
    std::memcpy(entryContext, data, sizeof(ULONG));
    return STATUS_SUCCESS;
}

// The length of a default: given, or implied by its type.
ULONG DefaultLength(const RTL_QUERY_REGISTRY_TABLE& entry)
{
    if (entry.DefaultLength != 0) return entry.DefaultLength;
    if (entry.DefaultType == REG_DWORD) return sizeof(ULONG);
    if (entry.DefaultType == REG_SZ && entry.DefaultData != nullptr) {
        return static_cast<ULONG>((FromWide(static_cast<PCWSTR>(entry.DefaultData)).size() + 1) * sizeof(WCHAR));
    }
    return 0;
}

NTSTATUS CallRoutine(const RTL_QUERY_REGISTRY_TABLE& entry, const Value& value, PVOID context)
{
    std::u16string name = value.name;
    std::vector<uint8_t> data = value.data;
    return entry.QueryRoutine(name.data(), value.type, data.empty() ? nullptr : data.data(),
                              static_cast<ULONG>(data.size()), context, entry.EntryContext);
}

// Runs one named entry of a query table against the key.
NTSTATUS QueryNamedEntry(const std::vector<std::u16string>& keyParts, const RTL_QUERY_REGISTRY_TABLE& entry,
                         PVOID context)
{
    std::u16string name = FromWide(entry.Name);
    std::optional<Value> value = ReadValue(keyParts, name);
    bool direct = (entry.Flags & RTL_QUERY_REGISTRY_DIRECT) != 0;
    if (value) {
        if (direct) return StoreDirect(value->type, value->data.data(), value->data.size(), entry.EntryContext);
        return CallRoutine(entry, *value, context);
    }
    if (entry.Flags & RTL_QUERY_REGISTRY_REQUIRED) return STATUS_OBJECT_NAME_NOT_FOUND;
    if (entry.DefaultType == REG_NONE) return STATUS_SUCCESS;
    ULONG length = DefaultLength(entry);
    if (direct) return StoreDirect(entry.DefaultType, entry.DefaultData, length, entry.EntryContext);
    Value fallback;
    fallback.name = name;
    fallback.type = entry.DefaultType;
    if (entry.DefaultData != nullptr) {
        auto* bytes = static_cast<const uint8_t*>(entry.DefaultData);
        fallback.data.assign(bytes, bytes + length);
    }
    return CallRoutine(entry, fallback, context);
}

// Runs an unnamed entry: its routine sees every value of the key.
NTSTATUS QueryAllValues(const std::vector<std::u16string>& keyParts, const RTL_QUERY_REGISTRY_TABLE& entry,
                        PVOID context)
{
    std::vector<Value> values;
    {
        Registry& registry = TheRegistry();
        std::lock_guard guard(registry.lock);
        Key* key = FindKey(registry, keyParts);
        if (key == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
        for (const auto& [lower, value] : key->values) values.push_back(value);
    }
    if (values.empty()) {
        if (entry.Flags & RTL_QUERY_REGISTRY_REQUIRED) return STATUS_OBJECT_NAME_NOT_FOUND;
        if (entry.Flags & RTL_QUERY_REGISTRY_NOVALUE) return CallRoutine(entry, Value{}, context);
        return STATUS_SUCCESS;
    }
    for (const Value& value : values) {
        NTSTATUS status = CallRoutine(entry, value, context);
        if (!NT_SUCCESS(status)) return status;
    }
    return STATUS_SUCCESS;
}

bool KeyExists(const std::vector<std::u16string>& parts)
{
    Registry& registry = TheRegistry();
    std::lock_guard guard(registry.lock);
    return FindKey(registry, parts) != nullptr;
}

}  // namespace

namespace nimbra::host {

void CreateRegistryKey(std::u16string_view absolutePath)
{
    auto parts = SplitPath(absolutePath);
    if (!parts) return;
    Registry& registry = TheRegistry();
    std::lock_guard guard(registry.lock);
    CreateKey(registry, *parts);
}

bool LoadRegistryFile(const std::string& path, std::string* error)
{
    auto fail = [&](size_t line, const std::string& what) {
        if (error != nullptr) *error = path + ":" + std::to_string(line) + ": " + what;
        return false;
    };
    std::ifstream in(path, std::ios::binary);
    if (!in) return fail(0, "cannot open");

    // Join continuation lines (a trailing backslash, as hex values use) first.
    std::vector<std::pair<size_t, std::string>> lines;
    std::string raw;
    size_t number = 0;
    std::string pending;
    size_t pendingLine = 0;
    while (std::getline(in, raw)) {
        ++number;
        if (!raw.empty() && raw.back() == '\r') raw.pop_back();
        std::string_view text = pending.empty() ? std::string_view(raw) : Trim(raw);
        if (pending.empty()) pendingLine = number;
        std::string_view trimmed = Trim(text);
        if (!trimmed.empty() && trimmed.back() == '\\') {
            pending += std::string(trimmed.substr(0, trimmed.size() - 1));
            continue;
        }
        lines.emplace_back(pendingLine, pending + std::string(text));
        pending.clear();
    }
    if (!pending.empty()) lines.emplace_back(pendingLine, pending);

    size_t index = 0;
    while (index < lines.size() && Trim(lines[index].second).empty()) ++index;
    if (index == lines.size() || Trim(lines[index].second) != "REGEDIT4") {
        return fail(index < lines.size() ? lines[index].first : 1, "missing REGEDIT4 header");
    }

    Registry& registry = TheRegistry();
    std::lock_guard guard(registry.lock);
    Key* key = nullptr;
    for (++index; index < lines.size(); ++index) {
        size_t line = lines[index].first;
        std::string_view text = Trim(lines[index].second);
        if (text.empty() || text[0] == ';') continue;
        if (text[0] == '[') {
            if (text.back() != ']') return fail(line, "bad key line");
            std::string_view name = text.substr(1, text.size() - 2);
            bool remove = !name.empty() && name[0] == '-';
            if (remove) name.remove_prefix(1);
            auto parts = SplitPath(FromUtf8(name));
            if (!parts) return fail(line, "unknown hive in key " + std::string(name));
            if (remove) {
                DeleteKey(registry, *parts);
                key = nullptr;
            } else {
                key = CreateKey(registry, *parts);
            }
            continue;
        }
        if (key == nullptr) return fail(line, "value outside a key");
        Value value;
        size_t pos = 0;
        if (text[0] == '@') {
            pos = 1;
        } else {
            std::string name;
            if (!ParseQuoted(text, pos, name)) return fail(line, "bad value name");
            value.name = FromUtf8(name);
        }
        while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\t')) ++pos;
        if (pos >= text.size() || text[pos] != '=') return fail(line, "missing '='");
        bool remove = false;
        std::string what;
        if (!ParseValueData(Trim(text.substr(pos + 1)), value, remove, what)) return fail(line, what);
        if (remove) {
            key->values.erase(Lower(value.name));
        } else {
            key->values[Lower(value.name)] = std::move(value);
        }
    }
    return true;
}

bool SaveRegistryFile(const std::string& path)
{
    std::ostringstream out;
    out << "REGEDIT4\n\n";
    {
        Registry& registry = TheRegistry();
        std::lock_guard guard(registry.lock);
        for (const auto& [lower, hive] : registry.root.subkeys) {
            std::string hiveName = ToUtf8(hive->name);
            if (!hive->values.empty()) {
                WriteKey(out, *hive, hiveName);
                continue;
            }
            for (const auto& [childLower, child] : hive->subkeys) {
                WriteKey(out, *child, hiveName + "\\" + ToUtf8(child->name));
            }
        }
    }
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    if (!file) return false;
    file << out.str();
    return static_cast<bool>(file.flush());
}

void ClearRegistry()
{
    Registry& registry = TheRegistry();
    std::lock_guard guard(registry.lock);
    registry.root.subkeys.clear();
    registry.root.values.clear();
}

std::optional<uint32_t> ReadRegistryDword(std::u16string_view keyPath, std::u16string_view valueName)
{
    auto parts = SplitPath(keyPath);
    if (!parts) return std::nullopt;
    std::optional<Value> value = ReadValue(*parts, valueName);
    if (!value || value->type != REG_DWORD || value->data.size() != 4) return std::nullopt;
    uint32_t number;
    std::memcpy(&number, value->data.data(), 4);
    return number;
}

}  // namespace nimbra::host

NTSTATUS RtlQueryRegistryValues(ULONG RelativeTo, PCWSTR Path, PRTL_QUERY_REGISTRY_TABLE QueryTable, PVOID Context,
                                PVOID /*Environment*/)
{
    CheckRegistryIrql();
    constexpr ULONG kOptional = 0x80000000;
    if ((RelativeTo & ~kOptional) != RTL_REGISTRY_ABSOLUTE || Path == nullptr || QueryTable == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    auto top = SplitPath(FromWide(Path));
    if (!top || !KeyExists(*top)) return STATUS_OBJECT_NAME_NOT_FOUND;
    std::vector<std::u16string> current = *top;
    for (PRTL_QUERY_REGISTRY_TABLE entry = QueryTable; entry->QueryRoutine != nullptr || entry->Name != nullptr;
         ++entry) {
        if (entry->Flags & (RTL_QUERY_REGISTRY_TOPKEY | RTL_QUERY_REGISTRY_SUBKEY)) {
            current = *top;
            if ((entry->Flags & RTL_QUERY_REGISTRY_SUBKEY) && entry->Name != nullptr) {
                std::vector<std::u16string> sub = SplitNames(FromWide(entry->Name));
                current.insert(current.end(), sub.begin(), sub.end());
                if (!KeyExists(current)) return STATUS_OBJECT_NAME_NOT_FOUND;
            }
            if (entry->QueryRoutine == nullptr) continue;
        }
        bool direct = (entry->Flags & RTL_QUERY_REGISTRY_DIRECT) != 0;
        NTSTATUS status;
        if (entry->Name != nullptr && !(entry->Flags & RTL_QUERY_REGISTRY_SUBKEY)) {
            if (!direct && entry->QueryRoutine == nullptr) return STATUS_INVALID_PARAMETER;
            if (direct && entry->EntryContext == nullptr) return STATUS_INVALID_PARAMETER;
            status = QueryNamedEntry(current, *entry, Context);
        } else {
            if (direct) return STATUS_INVALID_PARAMETER;
            status = QueryAllValues(current, *entry, Context);
        }
        if (!NT_SUCCESS(status)) return status;
        if ((entry->Flags & RTL_QUERY_REGISTRY_DELETE) && entry->Name != nullptr) {
            Registry& registry = TheRegistry();
            std::lock_guard guard(registry.lock);
            if (Key* key = FindKey(registry, current)) key->values.erase(Lower(FromWide(entry->Name)));
        }
    }
    return STATUS_SUCCESS;
}

NTSTATUS RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName, ULONG ValueType, PVOID ValueData,
                               ULONG ValueLength)
{
    CheckRegistryIrql();
    constexpr ULONG kOptional = 0x80000000;
    if ((RelativeTo & ~kOptional) != RTL_REGISTRY_ABSOLUTE || Path == nullptr) return STATUS_INVALID_PARAMETER;
    if (ValueData == nullptr && ValueLength != 0) return STATUS_INVALID_PARAMETER;
    auto parts = SplitPath(FromWide(Path));
    if (!parts) return STATUS_OBJECT_NAME_NOT_FOUND;
    Registry& registry = TheRegistry();
    std::lock_guard guard(registry.lock);
    Key* key = FindKey(registry, *parts);
    if (key == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
    Value value;
    value.name = FromWide(ValueName);
    value.type = ValueType;
    auto* bytes = static_cast<const uint8_t*>(ValueData);
    if (ValueLength != 0) value.data.assign(bytes, bytes + ValueLength);
    key->values[Lower(value.name)] = std::move(value);
    return STATUS_SUCCESS;
}

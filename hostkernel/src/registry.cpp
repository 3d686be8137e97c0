// In-memory registry hive. Keys are reached by full kernel paths ("\Registry\Machine\...") or
// relative to an open key; names compare case-insensitively. Key handles are objects that keep
// their key alive; a deleted key answers STATUS_KEY_DELETED through handles still open.
#include "hk_internal.h"
#include "hostkernel_test.h"

#include <fstream>
#include <memory>
#include <sstream>
#include <vector>

using hk::Fatal;

namespace hk {
namespace {

struct Value {
    std::u16string name;
    ULONG type;
    std::vector<uint8_t> data;
};

struct Key {
    std::u16string name;
    std::vector<std::shared_ptr<Key>> children;
    std::vector<Value> values;
    Key* parent = nullptr;
    bool deleted = false;
    int64_t lastWrite = 0;

    std::shared_ptr<Key> Child(const std::u16string& n) {
        for (auto& c : children)
            if (EqualNoCase(c->name, n)) return c;
        return nullptr;
    }
    Value* Find(const std::u16string& n) {
        for (auto& v : values)
            if (EqualNoCase(v.name, n)) return &v;
        return nullptr;
    }
};

struct Hive {
    std::mutex lock;
    std::shared_ptr<Key> root = std::make_shared<Key>();   // "\Registry"
    Hive() { root->name = u"REGISTRY"; }
};

Hive& R() {
    static auto* h = new Hive;
    return *h;
}

struct KeyObject {
    std::shared_ptr<Key>* key;   // heap-held so the object body stays a plain struct
    ACCESS_MASK access;
};

void DestroyKeyObject(void* body) { delete ((KeyObject*)body)->key; }

std::vector<std::u16string> SplitPath(const std::u16string& path) {
    std::vector<std::u16string> parts;
    std::u16string cur;
    for (char16_t c : path) {
        if (c == u'\\') {
            if (!cur.empty()) parts.push_back(cur);
            cur.clear();
        } else {
            cur.push_back(c);
        }
    }
    if (!cur.empty()) parts.push_back(cur);
    return parts;
}

std::u16string FromUnicode(PCUNICODE_STRING s) {
    if (!s || !s->Buffer) return std::u16string();
    return std::u16string((const char16_t*)s->Buffer, s->Length / 2);
}

// Resolves the start key and the remaining components of an object name (lock held).
NTSTATUS Resolve(POBJECT_ATTRIBUTES oa, std::shared_ptr<Key>* start, std::vector<std::u16string>* parts) {
    if (!oa || !oa->ObjectName) return STATUS_INVALID_PARAMETER;
    std::u16string name = FromUnicode(oa->ObjectName);
    if (oa->RootDirectory) {
        if (!name.empty() && name[0] == u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
        NTSTATUS st;
        auto* ko = (KeyObject*)HandleReference(oa->RootDirectory, ObjectKind::Key, &st);
        if (!ko) return st;
        *start = *ko->key;
        ObfDereferenceObject(ko);
        if ((*start)->deleted) return STATUS_KEY_DELETED;
        *parts = SplitPath(name);
        return STATUS_SUCCESS;
    }
    if (name.empty() || name[0] != u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
    auto p = SplitPath(name);
    if (p.empty() || !EqualNoCase(p[0], u"REGISTRY")) return STATUS_OBJECT_PATH_NOT_FOUND;
    p.erase(p.begin());
    *start = R().root;
    *parts = p;
    return STATUS_SUCCESS;
}

HANDLE NewKeyHandle(const std::shared_ptr<Key>& key, ACCESS_MASK access) {
    auto* ko = (KeyObject*)ObjectCreate(ObjectKind::Key, sizeof(KeyObject), DestroyKeyObject);
    ko->key = new std::shared_ptr<Key>(key);
    ko->access = access;
    return HandleCreate(ko);
}

std::shared_ptr<Key> KeyOfHandle(HANDLE h, NTSTATUS* st, ACCESS_MASK* access = nullptr) {
    auto* ko = (KeyObject*)HandleReference(h, ObjectKind::Key, st);
    if (!ko) return nullptr;
    std::shared_ptr<Key> k = *ko->key;
    if (access) *access = ko->access;
    ObfDereferenceObject(ko);
    if (k->deleted) {
        *st = STATUS_KEY_DELETED;
        return nullptr;
    }
    return k;
}

std::shared_ptr<Key> CreatePath(const std::u16string& fullPath) {
    auto p = SplitPath(fullPath);
    if (p.empty() || !EqualNoCase(p[0], u"REGISTRY")) Fatal("registry path must start with \\Registry");
    std::shared_ptr<Key> k = R().root;
    for (size_t i = 1; i < p.size(); i++) {
        auto c = k->Child(p[i]);
        if (!c) {
            c = std::make_shared<Key>();
            c->name = p[i];
            c->parent = k.get();
            k->children.push_back(c);
        }
        k = c;
    }
    return k;
}

std::shared_ptr<Key> FindPath(const std::u16string& fullPath) {
    auto p = SplitPath(fullPath);
    if (p.empty() || !EqualNoCase(p[0], u"REGISTRY")) return nullptr;
    std::shared_ptr<Key> k = R().root;
    for (size_t i = 1; i < p.size() && k; i++) k = k->Child(p[i]);
    return k;
}

void MarkDeleted(Key* k) {
    k->deleted = true;
    for (auto& c : k->children) MarkDeleted(c.get());
}

void SetValueLocked(Key* k, const std::u16string& name, ULONG type, const void* data, size_t size) {
    Value* v = k->Find(name);
    if (!v) {
        k->values.push_back(Value{name, type, {}});
        v = &k->values.back();
    }
    v->type = type;
    v->data.assign((const uint8_t*)data, (const uint8_t*)data + size);
    k->lastWrite = SystemTimeAt(InterruptTime());
}

// Fills one KEY_VALUE_*_INFORMATION record; returns STATUS_BUFFER_OVERFLOW (header filled) or
// STATUS_BUFFER_TOO_SMALL (nothing filled) when Length is short, as the kernel does.
NTSTATUS FillValueInfo(const Value& v, KEY_VALUE_INFORMATION_CLASS cls, PVOID out, ULONG length, PULONG result) {
    ULONG nameBytes = (ULONG)v.name.size() * 2;
    ULONG dataBytes = (ULONG)v.data.size();
    switch (cls) {
    case KeyValueBasicInformation: {
        ULONG fixed = FIELD_OFFSET(KEY_VALUE_BASIC_INFORMATION, Name);
        *result = fixed + nameBytes;
        if (length < fixed) return STATUS_BUFFER_TOO_SMALL;
        auto* bi = (PKEY_VALUE_BASIC_INFORMATION)out;
        bi->TitleIndex = 0;
        bi->Type = v.type;
        bi->NameLength = nameBytes;
        if (length < *result) return STATUS_BUFFER_OVERFLOW;
        memcpy(bi->Name, v.name.data(), nameBytes);
        return STATUS_SUCCESS;
    }
    case KeyValueFullInformation:
    case KeyValueFullInformationAlign64: {
        ULONG fixed = FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Name);
        ULONG dataOffset = (fixed + nameBytes + 7) & ~7u;
        *result = dataOffset + dataBytes;
        if (length < fixed) return STATUS_BUFFER_TOO_SMALL;
        auto* fi = (PKEY_VALUE_FULL_INFORMATION)out;
        fi->TitleIndex = 0;
        fi->Type = v.type;
        fi->DataOffset = dataOffset;
        fi->DataLength = dataBytes;
        fi->NameLength = nameBytes;
        if (length < *result) return STATUS_BUFFER_OVERFLOW;
        memcpy(fi->Name, v.name.data(), nameBytes);
        if (dataBytes) memcpy((char*)out + dataOffset, v.data.data(), dataBytes);
        return STATUS_SUCCESS;
    }
    case KeyValuePartialInformation:
    case KeyValuePartialInformationAlign64: {
        ULONG fixed = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data);
        *result = fixed + dataBytes;
        if (length < fixed) return STATUS_BUFFER_TOO_SMALL;
        auto* pi = (PKEY_VALUE_PARTIAL_INFORMATION)out;
        pi->TitleIndex = 0;
        pi->Type = v.type;
        pi->DataLength = dataBytes;
        if (length < *result) return STATUS_BUFFER_OVERFLOW;
        if (dataBytes) memcpy(pi->Data, v.data.data(), dataBytes);
        return STATUS_SUCCESS;
    }
    default:
        return STATUS_INVALID_PARAMETER;
    }
}

NTSTATUS FillKeyInfo(const Key& k, KEY_INFORMATION_CLASS cls, PVOID out, ULONG length, PULONG result) {
    ULONG nameBytes = (ULONG)k.name.size() * 2;
    switch (cls) {
    case KeyBasicInformation: {
        ULONG fixed = FIELD_OFFSET(KEY_BASIC_INFORMATION, Name);
        *result = fixed + nameBytes;
        if (length < fixed) return STATUS_BUFFER_TOO_SMALL;
        auto* bi = (PKEY_BASIC_INFORMATION)out;
        bi->LastWriteTime.QuadPart = k.lastWrite;
        bi->TitleIndex = 0;
        bi->NameLength = nameBytes;
        if (length < *result) return STATUS_BUFFER_OVERFLOW;
        memcpy(bi->Name, k.name.data(), nameBytes);
        return STATUS_SUCCESS;
    }
    case KeyFullInformation: {
        ULONG fixed = FIELD_OFFSET(KEY_FULL_INFORMATION, Class);
        *result = fixed;
        if (length < fixed) return STATUS_BUFFER_TOO_SMALL;
        auto* fi = (PKEY_FULL_INFORMATION)out;
        memset(fi, 0, fixed);
        fi->LastWriteTime.QuadPart = k.lastWrite;
        fi->ClassOffset = 0xFFFFFFFF;
        fi->SubKeys = (ULONG)k.children.size();
        fi->Values = (ULONG)k.values.size();
        for (auto& c : k.children)
            if (c->name.size() * 2 > fi->MaxNameLen) fi->MaxNameLen = (ULONG)c->name.size() * 2;
        for (auto& v : k.values) {
            if (v.name.size() * 2 > fi->MaxValueNameLen) fi->MaxValueNameLen = (ULONG)v.name.size() * 2;
            if (v.data.size() > fi->MaxValueDataLen) fi->MaxValueDataLen = (ULONG)v.data.size();
        }
        return STATUS_SUCCESS;
    }
    default:
        return STATUS_INVALID_PARAMETER;
    }
}

}  // namespace
}  // namespace hk

extern "C" {

NTSTATUS NTAPI ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes) {
    hk::RequireIrqlAtMost(PASSIVE_LEVEL, "ZwOpenKey");
    std::lock_guard<std::mutex> g(hk::R().lock);
    std::shared_ptr<hk::Key> k;
    std::vector<std::u16string> parts;
    NTSTATUS st = hk::Resolve(ObjectAttributes, &k, &parts);
    if (!NT_SUCCESS(st)) return st;
    for (size_t i = 0; i < parts.size(); i++) {
        k = k->Child(parts[i]);
        if (!k) return i + 1 == parts.size() ? STATUS_OBJECT_NAME_NOT_FOUND : STATUS_OBJECT_PATH_NOT_FOUND;
    }
    *KeyHandle = hk::NewKeyHandle(k, DesiredAccess);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                           ULONG TitleIndex, PUNICODE_STRING Class, ULONG CreateOptions, PULONG Disposition) {
    hk::RequireIrqlAtMost(PASSIVE_LEVEL, "ZwCreateKey");
    std::lock_guard<std::mutex> g(hk::R().lock);
    std::shared_ptr<hk::Key> k;
    std::vector<std::u16string> parts;
    NTSTATUS st = hk::Resolve(ObjectAttributes, &k, &parts);
    if (!NT_SUCCESS(st)) return st;
    if (parts.empty()) return STATUS_OBJECT_NAME_INVALID;
    // Like the kernel, only the last component is created; its parent must exist.
    for (size_t i = 0; i + 1 < parts.size(); i++) {
        k = k->Child(parts[i]);
        if (!k) return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    ULONG disposition = REG_OPENED_EXISTING_KEY;
    auto c = k->Child(parts.back());
    if (!c) {
        c = std::make_shared<hk::Key>();
        c->name = parts.back();
        c->parent = k.get();
        c->lastWrite = hk::SystemTimeAt(hk::InterruptTime());
        k->children.push_back(c);
        disposition = REG_CREATED_NEW_KEY;
    }
    if (Disposition) *Disposition = disposition;
    *KeyHandle = hk::NewKeyHandle(c, DesiredAccess);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                               KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass, PVOID KeyValueInformation,
                               ULONG Length, PULONG ResultLength) {
    hk::RequireIrqlAtMost(PASSIVE_LEVEL, "ZwQueryValueKey");
    if (!ResultLength) return STATUS_INVALID_PARAMETER;
    std::lock_guard<std::mutex> g(hk::R().lock);
    NTSTATUS st;
    ACCESS_MASK access;
    auto k = hk::KeyOfHandle(KeyHandle, &st, &access);
    if (!k) return st;
    if (!(access & (KEY_QUERY_VALUE | GENERIC_READ | GENERIC_ALL | MAXIMUM_ALLOWED))) return STATUS_ACCESS_DENIED;
    hk::Value* v = k->Find(hk::FromUnicode(ValueName));
    if (!v) return STATUS_OBJECT_NAME_NOT_FOUND;
    return hk::FillValueInfo(*v, KeyValueInformationClass, KeyValueInformation, Length, ResultLength);
}

NTSTATUS NTAPI ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex, ULONG Type, PVOID Data,
                             ULONG DataSize) {
    hk::RequireIrqlAtMost(PASSIVE_LEVEL, "ZwSetValueKey");
    std::lock_guard<std::mutex> g(hk::R().lock);
    NTSTATUS st;
    ACCESS_MASK access;
    auto k = hk::KeyOfHandle(KeyHandle, &st, &access);
    if (!k) return st;
    if (!(access & (KEY_SET_VALUE | GENERIC_WRITE | GENERIC_ALL | MAXIMUM_ALLOWED))) return STATUS_ACCESS_DENIED;
    if (DataSize && !Data) return STATUS_INVALID_PARAMETER;
    hk::SetValueLocked(k.get(), hk::FromUnicode(ValueName), Type, Data, DataSize);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI ZwDeleteValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName) {
    hk::RequireIrqlAtMost(PASSIVE_LEVEL, "ZwDeleteValueKey");
    std::lock_guard<std::mutex> g(hk::R().lock);
    NTSTATUS st;
    auto k = hk::KeyOfHandle(KeyHandle, &st);
    if (!k) return st;
    std::u16string name = hk::FromUnicode(ValueName);
    for (size_t i = 0; i < k->values.size(); i++)
        if (hk::EqualNoCase(k->values[i].name, name)) {
            k->values.erase(k->values.begin() + (long)i);
            return STATUS_SUCCESS;
        }
    return STATUS_OBJECT_NAME_NOT_FOUND;
}

NTSTATUS NTAPI ZwDeleteKey(HANDLE KeyHandle) {
    hk::RequireIrqlAtMost(PASSIVE_LEVEL, "ZwDeleteKey");
    std::lock_guard<std::mutex> g(hk::R().lock);
    NTSTATUS st;
    auto k = hk::KeyOfHandle(KeyHandle, &st);
    if (!k) return st;
    if (!k->children.empty()) return STATUS_CANNOT_DELETE;
    if (!k->parent) return STATUS_CANNOT_DELETE;
    auto& siblings = k->parent->children;
    for (size_t i = 0; i < siblings.size(); i++)
        if (siblings[i] == k) {
            siblings.erase(siblings.begin() + (long)i);
            break;
        }
    hk::MarkDeleted(k.get());
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI ZwEnumerateKey(HANDLE KeyHandle, ULONG Index, KEY_INFORMATION_CLASS KeyInformationClass,
                              PVOID KeyInformation, ULONG Length, PULONG ResultLength) {
    hk::RequireIrqlAtMost(PASSIVE_LEVEL, "ZwEnumerateKey");
    std::lock_guard<std::mutex> g(hk::R().lock);
    NTSTATUS st;
    auto k = hk::KeyOfHandle(KeyHandle, &st);
    if (!k) return st;
    if (Index >= k->children.size()) return STATUS_NO_MORE_ENTRIES;
    return hk::FillKeyInfo(*k->children[Index], KeyInformationClass, KeyInformation, Length, ResultLength);
}

NTSTATUS NTAPI ZwEnumerateValueKey(HANDLE KeyHandle, ULONG Index, KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                                   PVOID KeyValueInformation, ULONG Length, PULONG ResultLength) {
    hk::RequireIrqlAtMost(PASSIVE_LEVEL, "ZwEnumerateValueKey");
    std::lock_guard<std::mutex> g(hk::R().lock);
    NTSTATUS st;
    auto k = hk::KeyOfHandle(KeyHandle, &st);
    if (!k) return st;
    if (Index >= k->values.size()) return STATUS_NO_MORE_ENTRIES;
    return hk::FillValueInfo(k->values[Index], KeyValueInformationClass, KeyValueInformation, Length, ResultLength);
}

NTSTATUS NTAPI ZwQueryKey(HANDLE KeyHandle, KEY_INFORMATION_CLASS KeyInformationClass, PVOID KeyInformation,
                          ULONG Length, PULONG ResultLength) {
    hk::RequireIrqlAtMost(PASSIVE_LEVEL, "ZwQueryKey");
    std::lock_guard<std::mutex> g(hk::R().lock);
    NTSTATUS st;
    auto k = hk::KeyOfHandle(KeyHandle, &st);
    if (!k) return st;
    return hk::FillKeyInfo(*k, KeyInformationClass, KeyInformation, Length, ResultLength);
}

NTSTATUS NTAPI ZwFlushKey(HANDLE KeyHandle) {
    hk::RequireIrqlAtMost(PASSIVE_LEVEL, "ZwFlushKey");
    NTSTATUS st;
    std::lock_guard<std::mutex> g(hk::R().lock);
    return hk::KeyOfHandle(KeyHandle, &st) ? STATUS_SUCCESS : st;
}

}  // extern "C"

// ---------------------------------------------------------------------------------------------
// Test hooks

namespace hk {
namespace test {

void RegSetValue(const std::string& keyPath, const std::string& name, ULONG type, const void* data, size_t size) {
    std::lock_guard<std::mutex> g(R().lock);
    auto k = CreatePath(ToU16(keyPath.c_str()));
    SetValueLocked(k.get(), ToU16(name.c_str()), type, data, size);
}

void RegSetDword(const std::string& keyPath, const std::string& name, uint32_t value) {
    uint8_t le[4] = {(uint8_t)value, (uint8_t)(value >> 8), (uint8_t)(value >> 16), (uint8_t)(value >> 24)};
    RegSetValue(keyPath, name, REG_DWORD, le, 4);
}

void RegSetString(const std::string& keyPath, const std::string& name, const std::string& utf8, ULONG type) {
    std::u16string w = ToU16(utf8.c_str());
    RegSetValue(keyPath, name, type, w.c_str(), (w.size() + 1) * 2);
}

bool RegGetValue(const std::string& keyPath, const std::string& name, ULONG* type, std::vector<uint8_t>* data) {
    std::lock_guard<std::mutex> g(R().lock);
    auto k = FindPath(ToU16(keyPath.c_str()));
    if (!k) return false;
    Value* v = k->Find(ToU16(name.c_str()));
    if (!v) return false;
    if (type) *type = v->type;
    if (data) *data = v->data;
    return true;
}

void RegDeleteKey(const std::string& keyPath) {
    std::lock_guard<std::mutex> g(R().lock);
    auto k = FindPath(ToU16(keyPath.c_str()));
    if (!k || !k->parent) return;
    auto& siblings = k->parent->children;
    for (size_t i = 0; i < siblings.size(); i++)
        if (siblings[i] == k) {
            siblings.erase(siblings.begin() + (long)i);
            break;
        }
    MarkDeleted(k.get());
}

void RegClear() {
    std::lock_guard<std::mutex> g(R().lock);
    for (auto& c : R().root->children) MarkDeleted(c.get());
    R().root->children.clear();
    R().root->values.clear();
}

namespace {

std::string Trim(const std::string& s) {
    size_t a = s.find_first_not_of(" \t\r");
    if (a == std::string::npos) return "";
    size_t b = s.find_last_not_of(" \t\r");
    return s.substr(a, b - a + 1);
}

// Parses a quoted string starting at s[i] == '"'; handles \\ and \" escapes.
bool ParseQuoted(const std::string& s, size_t& i, std::string* out) {
    if (i >= s.size() || s[i] != '"') return false;
    i++;
    out->clear();
    while (i < s.size() && s[i] != '"') {
        if (s[i] == '\\' && i + 1 < s.size()) i++;
        out->push_back(s[i++]);
    }
    if (i >= s.size()) return false;
    i++;
    return true;
}

bool ParseHexBytes(const std::string& s, std::vector<uint8_t>* out) {
    out->clear();
    std::string cur;
    for (size_t i = 0; i <= s.size(); i++) {
        char c = i < s.size() ? s[i] : ',';
        if (c == ',' ) {
            std::string t = Trim(cur);
            cur.clear();
            if (t.empty()) continue;
            char* end;
            unsigned long v = strtoul(t.c_str(), &end, 16);
            if (*end || v > 0xFF) return false;
            out->push_back((uint8_t)v);
        } else if (c != '\\' && c != '\n') {
            cur.push_back(c);
        }
    }
    return true;
}

}  // namespace

bool RegLoadText(const std::string& text, std::string* error) {
    std::istringstream in(text);
    std::string line, key;
    int lineNo = 0;
    std::string pending;
    auto fail = [&](const std::string& why) {
        if (error) *error = "line " + std::to_string(lineNo) + ": " + why;
        return false;
    };
    while (std::getline(in, line)) {
        lineNo++;
        std::string t = Trim(line);
        // Continuation lines of hex data end with a backslash.
        if (!pending.empty()) {
            pending += t;
            if (!pending.empty() && pending.back() == '\\') continue;
            t = pending;
            pending.clear();
        } else if (!t.empty() && t.back() == '\\' && t.find("hex") != std::string::npos) {
            pending = t;
            continue;
        }
        if (t.empty() || t[0] == ';' || t[0] == '#' || t.rfind("Windows Registry Editor", 0) == 0 || t == "REGEDIT4")
            continue;
        if (t[0] == '[') {
            if (t.back() != ']') return fail("unterminated key name");
            key = t.substr(1, t.size() - 2);
            if (key.rfind("\\Registry", 0) != 0 && key.rfind("\\REGISTRY", 0) != 0)
                return fail("key must be a full \\Registry\\... path");
            std::lock_guard<std::mutex> g(R().lock);
            CreatePath(ToU16(key.c_str()));
            continue;
        }
        if (key.empty()) return fail("value outside a key");
        size_t i = 0;
        std::string name;
        if (t[0] == '@') {
            i = 1;
        } else if (!ParseQuoted(t, i, &name)) {
            return fail("expected \"name\"");
        }
        while (i < t.size() && t[i] == ' ') i++;
        if (i >= t.size() || t[i] != '=') return fail("expected =");
        i++;
        while (i < t.size() && t[i] == ' ') i++;
        std::string rest = t.substr(i);
        if (!rest.empty() && rest[0] == '"') {
            size_t j = 0;
            std::string val;
            if (!ParseQuoted(rest, j, &val)) return fail("unterminated string");
            RegSetString(key, name, val, REG_SZ);
        } else if (rest.rfind("dword:", 0) == 0) {
            std::string hex = rest.substr(6);
            char* end;
            unsigned long v = strtoul(hex.c_str(), &end, 16);
            if (hex.empty() || *end || hex.size() > 8) return fail("bad dword");
            RegSetDword(key, name, (uint32_t)v);
        } else if (rest.rfind("hex", 0) == 0) {
            ULONG type = REG_BINARY;
            size_t colon = rest.find(':');
            if (colon == std::string::npos) return fail("bad hex value");
            std::string head = rest.substr(0, colon);
            if (head != "hex") {
                if (head.size() < 6 || head[3] != '(' || head.back() != ')') return fail("bad hex type");
                type = (ULONG)strtoul(head.substr(4, head.size() - 5).c_str(), nullptr, 16);
            }
            std::vector<uint8_t> bytes;
            if (!ParseHexBytes(rest.substr(colon + 1), &bytes)) return fail("bad hex bytes");
            RegSetValue(key, name, type, bytes.data(), bytes.size());
        } else {
            return fail("unknown value syntax");
        }
    }
    return true;
}

bool RegLoadFile(const std::string& path, std::string* error) {
    std::ifstream f(path, std::ios::binary);
    if (!f) {
        if (error) *error = "cannot open " + path;
        return false;
    }
    std::stringstream ss;
    ss << f.rdbuf();
    std::string text = ss.str();
    // regedit exports UTF-16LE with a byte-order mark.
    if (text.size() >= 2 && (unsigned char)text[0] == 0xFF && (unsigned char)text[1] == 0xFE) {
        std::u16string wide;
        for (size_t i = 2; i + 1 < text.size(); i += 2)
            wide.push_back((char16_t)((unsigned char)text[i] | ((unsigned char)text[i + 1] << 8)));
        text = ToUtf8(wide.data(), wide.size());
    }
    if (text.size() >= 3 && (unsigned char)text[0] == 0xEF && (unsigned char)text[1] == 0xBB && (unsigned char)text[2] == 0xBF)
        text = text.substr(3);
    return RegLoadText(text, error);
}

}  // namespace test
}  // namespace hk

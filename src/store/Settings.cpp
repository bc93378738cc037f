#include "store/Settings.h"

#include "store/DataSaver.h"

namespace {
const char* const kGlobal = "global";
const char* const kVGlobal = "vglobal";
const char* const kValue = "global_value";

ItemPtr KeyItem(const char* type, const char* key) {
    return d.GetType(type)->GetItem(key);
}

ItemPtr ValueItem(const char* type, const char* key) {
    return KeyItem(type, key)[kValue];
}

void Write(const char* type, const char* key, const Value& value) {
    KeyItem(type, key).Connect(d.GetType(kValue)->GetItem(value));
}
}  // namespace

void DeclareSettingsTypes(DataSaver* saver) {
    Type* global = d.NewType(kGlobal, PrimacyRoot, false, true);
    Type* vglobal = d.NewType(kVGlobal, PrimacyRoot, false, true);
    Type* value = d.NewType(kValue, PrimacyLeaf, false, true);
    // One value per key; one value item serves every key with that text.
    global->RelateToType(value, Many, One, false);
    vglobal->RelateToType(value, Many, One, false);
    if (saver) {
        saver->AddSavedType(kGlobal);
        saver->AddSavedByConnectionType(kValue, kGlobal);
    }
}

ItemPtr GetSettingItem(const char* key) {
    return KeyItem(kGlobal, key);
}
ItemPtr GetSettingValueItem(const char* key) {
    return ValueItem(kGlobal, key);
}
QString GetSetting(const char* key) {
    return ValueItem(kGlobal, key).AsString();
}
int GetSettingInt(const char* key) {
    return ValueItem(kGlobal, key).AsInt();
}
qint64 GetSettingInt64(const char* key) {
    return ValueItem(kGlobal, key).AsInt64();
}
bool IsSettingYes(const char* key) {
    return ValueItem(kGlobal, key).AsStdString() == "yes";
}
bool HasSetting(const char* key) {
    return KeyItem(kGlobal, key).IsConnected(kValue);
}
void SetSetting(const char* key, const Value& value) {
    Write(kGlobal, key, value);
}
void SetSettingYes(const char* key, bool yes) {
    Write(kGlobal, key, yes ? "yes" : "no");
}

void SetSettingDefault(const char* key, const Value& value) {
    if (!HasSetting(key))
        Write(kGlobal, key, value);
}

void ClearSetting(const char* key) {
    KeyItem(kGlobal, key).Disconnect(kValue);
}

ItemPtr GetRuntimeSettingItem(const char* key) {
    return KeyItem(kVGlobal, key);
}
QString GetRuntimeSetting(const char* key) {
    return ValueItem(kVGlobal, key).AsString();
}
int GetRuntimeSettingInt(const char* key) {
    return ValueItem(kVGlobal, key).AsInt();
}
bool IsRuntimeSettingYes(const char* key) {
    return ValueItem(kVGlobal, key).AsStdString() == "yes";
}
void SetRuntimeSetting(const char* key, const Value& value) {
    Write(kVGlobal, key, value);
}
void ClearRuntimeSetting(const char* key) {
    KeyItem(kVGlobal, key).Disconnect(kValue);
}

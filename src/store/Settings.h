#ifndef TAVENOOK_STORE_SETTINGS_H
#define TAVENOOK_STORE_SETTINGS_H

// Settings live in the store: an item of type "global" named by its key,
// linked to one "global_value" item holding the value as text. Run-time
// values use "vglobal", which is never saved. These helpers only spell out
// the store operations every part would otherwise repeat.

#include <QString>

#include "store/Data.h"

class DataSaver;

// Declares "global", "global_value" and "vglobal"; with a saver, "global" is
// saved and "global_value" saved through it.
void DeclareSettingsTypes(DataSaver* saver);

ItemPtr GetSettingItem(const char* key);
ItemPtr GetSettingValueItem(const char* key);
QString GetSetting(const char* key);
int GetSettingInt(const char* key);
qint64 GetSettingInt64(const char* key);
bool IsSettingYes(const char* key);
bool HasSetting(const char* key);
void SetSetting(const char* key, const Value& value);
void SetSettingYes(const char* key, bool yes);
// Writes the value only when the key has none.
void SetSettingDefault(const char* key, const Value& value);
void ClearSetting(const char* key);

ItemPtr GetRuntimeSettingItem(const char* key);
QString GetRuntimeSetting(const char* key);
int GetRuntimeSettingInt(const char* key);
bool IsRuntimeSettingYes(const char* key);
void SetRuntimeSetting(const char* key, const Value& value);
void ClearRuntimeSetting(const char* key);

#endif

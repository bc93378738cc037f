#include "store/ExtendedAsciiTranslator.h"

#include <QTextCodec>

#include "store/GeneralFunctions.h"
#include "store/Log.h"
#include "store/Settings.h"

ExtendedAsciiTranslator* extendedAsciiTranslator = nullptr;

namespace {
const char* const kSetting = "extended_ascii_codepage";
}

ExtendedAsciiTranslator::ExtendedAsciiTranslator() {
    extendedAsciiTranslator = this;
    SetSettingDefault(kSetting, "");
    auto* root = new PathNode(GetSettingItem(kSetting));
    new PathNode(root, "global_value", PathConnectedWatched);
    d.AddPathEventHandler(root, ItemHandler(this, &ExtendedAsciiTranslator::OnCodePageChanged));
    // An unset code page is the empty one.
    auto* cleared = new PathNode(GetSettingItem(kSetting));
    new PathNode(cleared, "global_value", PathDisconnecting);
    d.AddPathEventHandler(cleared, ItemHandler(this, &ExtendedAsciiTranslator::OnCodePageChanged));
    Apply();
}

ExtendedAsciiTranslator::~ExtendedAsciiTranslator() {
    DisableHandlers();
    SetFallbackCodec(nullptr);
    if (extendedAsciiTranslator == this)
        extendedAsciiTranslator = nullptr;
}

void ExtendedAsciiTranslator::SetCodePage(const std::string& name) {
    SetSetting(kSetting, name);
}

QString ExtendedAsciiTranslator::Decode(const std::string& bytes) const {
    return ToQString(bytes);
}

void ExtendedAsciiTranslator::OnCodePageChanged(ItemPtr) {
    Apply();
}

void ExtendedAsciiTranslator::Apply() {
    const QByteArray name = GetSettingValueItem(kSetting).AsByteArray();
    QTextCodec* codec = name.isEmpty() ? nullptr : QTextCodec::codecForName(name);
    if (!name.isEmpty() && !codec)
        Log("Configuration Data", 1,
            QString("Unknown code page \"%1\"; using none").arg(QString::fromLatin1(name)));
    SetFallbackCodec(codec);
}

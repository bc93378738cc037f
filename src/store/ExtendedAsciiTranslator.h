#ifndef TAVENOOK_STORE_EXTENDEDASCIITRANSLATOR_H
#define TAVENOOK_STORE_EXTENDEDASCIITRANSLATOR_H

#include <QString>
#include <string>

#include "store/Data.h"

// Decodes text that is not UTF-8 with the code page of the setting
// "extended_ascii_codepage" (empty: none, which means Latin-1).
class ExtendedAsciiTranslator : public DataHandler {
public:
    ExtendedAsciiTranslator();
    ~ExtendedAsciiTranslator() override;

    void SetCodePage(const std::string& name);
    QString Decode(const std::string& bytes) const;

private:
    void OnCodePageChanged(ItemPtr setting);
    void Apply();
};

extern ExtendedAsciiTranslator* extendedAsciiTranslator;

#endif

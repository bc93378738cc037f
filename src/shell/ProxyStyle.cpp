#include "shell/ProxyStyle.h"

#include <QStyleFactory>

ProxyStyle::ProxyStyle(const QString& baseStyleName)
    : QProxyStyle(QStyleFactory::create(baseStyleName)) {}

#ifndef TAVENOOK_SHELL_PROXYSTYLE_H
#define TAVENOOK_SHELL_PROXYSTYLE_H

#include <QProxyStyle>
#include <QString>

// A style that hands every operation to a style made by name; an unknown
// name falls back to the application's style. Nothing builds one today.
class ProxyStyle : public QProxyStyle {
public:
    explicit ProxyStyle(const QString& baseStyleName);
};

#endif

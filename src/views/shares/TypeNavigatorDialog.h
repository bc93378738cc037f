#ifndef TAVENOOK_VIEWS_SHARES_TYPENAVIGATORDIALOG_H
#define TAVENOOK_VIEWS_SHARES_TYPENAVIGATORDIALOG_H

#include <QDialog>
#include <list>
#include <set>
#include <string>
#include <vector>

class QComboBox;
class QTextEdit;

// Lists the chains of related types that lead from one chosen type to
// another, shortest first. At most one exists (typeNavigatorDialog); it
// deletes itself when closed.
class TypeNavigatorDialog : public QDialog {
    Q_OBJECT
public:
    // Longest chain searched, in type names.
    static constexpr int kMaxPathNames = 7;

    explicit TypeNavigatorDialog(QWidget* parent = nullptr);
    ~TypeNavigatorDialog() override;
    void Init();

    QComboBox* FromBox() const { return mp_from; }
    QComboBox* ToBox() const { return mp_to; }
    QTextEdit* Chart() const { return mp_chart; }

    // Every type within six relation steps of `type`, added to `names`.
    static void GetRelatedTypes(const std::string& type, std::set<std::string>& names, int depth);
    void FindPath(const std::string& from, const std::string& to, std::vector<std::string>& path);

public slots:
    void onFromTypeSelectionChanged(QString type);
    void onToTypeSelectionChanged(QString type);

private:
    QString PathLine(const std::vector<std::string>& path) const;

    QComboBox* mp_from;
    QComboBox* mp_to;
    QTextEdit* mp_chart;
    std::list<std::vector<std::string>> m_paths;
    long m_budget = 0;
};

extern TypeNavigatorDialog* typeNavigatorDialog;

#endif

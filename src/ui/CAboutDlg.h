#pragma once

#include <QDialog>
#include <QUrl>

#include <memory>

namespace Ui {
class CAboutDlg;
}

// Names the product and offers to look for updates on the maker's product page. It has no OK
// or Cancel button: the close box or Esc ends it.
class CAboutDlg : public QDialog {
    Q_OBJECT
public:
    explicit CAboutDlg(QWidget* parent = nullptr);
    ~CAboutDlg() override;

    // The maker's page that lists its products, where updates are announced.
    static QUrl ProductListUrl();

private:
    void OnCheckForUpdates();

    std::unique_ptr<Ui::CAboutDlg> m_ui;
};

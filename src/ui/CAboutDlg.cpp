#include "ui/CAboutDlg.h"

#include "ui_CAboutDlg.h"

#include "ui/DialogUnits.h"

#include <QDesktopServices>

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent), m_ui(new Ui::CAboutDlg) {
    m_ui->setupUi(this);
    ApplyDialogUnits(this);
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint);
    connect(m_ui->m_btnCheckForUpdates, &QPushButton::clicked, this, &CAboutDlg::OnCheckForUpdates);
}

CAboutDlg::~CAboutDlg() = default;

QUrl CAboutDlg::ProductListUrl() {
    return QUrl(QStringLiteral(TARVO_PRODUCT_HOST "/allproducts.htm"));
}

void CAboutDlg::OnCheckForUpdates() {
    // Whether a browser opened is not reported: the window stays for another try either way.
    QDesktopServices::openUrl(ProductListUrl());
}

#include "app/CAboutDialog.h"

#include <QDialogButtonBox>
#include <QFrame>
#include <QGridLayout>
#include <QLabel>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QSvgRenderer>
#include <QVBoxLayout>

#include "common/ControlId.h"
#include "common/DialogFlags.h"

namespace {

// Renders an SVG of the resources at the given logical size, sharp on high-density screens.
QPixmap Render(const QString& path, QSize size, qreal ratio) {
    QPixmap pixmap(size * ratio);
    pixmap.setDevicePixelRatio(ratio);
    pixmap.fill(Qt::transparent);
    QSvgRenderer renderer(path);
    QPainter painter(&pixmap);
    renderer.render(&painter, QRectF(QPointF(0, 0), QSizeF(size)));
    return pixmap;
}

}  // namespace

CAboutDialog::CAboutDialog(QWidget* parent, const VersionBlock* block)
    : QDialog(parent), m_pInfo(new QLabel(this)), m_pCopyright(new QLabel(this)), m_version(block) {
    setWindowTitle(QStringLiteral("About Tagbench"));
    ShowCloseBoxOnly(this);
    const qreal ratio = devicePixelRatioF();

    auto* banner = new QLabel(this);
    banner->setPixmap(Render(QStringLiteral(":/tagbench/banner.svg"), QSize(413, 72), ratio));
    auto* icon = new QLabel(this);
    icon->setPixmap(Render(QStringLiteral(":/tagbench/icon.svg"), QSize(32, 32), ratio));
    icon->setAlignment(Qt::AlignTop | Qt::AlignHCenter);

    SetControlId(m_pInfo, IDC_INFO);
    SetControlId(m_pCopyright, IDC_COPYRIGHT);
    m_pInfo->setTextFormat(Qt::PlainText);
    m_pCopyright->setTextFormat(Qt::PlainText);
    m_pInfo->setText(QString::fromStdString(m_version.ProductName() + " " + m_version.ProductVersion() +
                                            "\n\n" + m_version.FileDescription()));
    m_pCopyright->setText(QString::fromStdString(m_version.LegalCopyright()));
    m_pCopyright->setWordWrap(true);

    auto* line = new QFrame(this);
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);

    auto* body = new QGridLayout;
    body->setContentsMargins(12, 8, 12, 12);
    body->setHorizontalSpacing(16);
    body->addWidget(icon, 0, 0, 3, 1);
    body->addWidget(m_pInfo, 0, 1);
    body->addWidget(line, 1, 1);
    body->addWidget(m_pCopyright, 2, 1);
    body->addWidget(buttons, 3, 0, 1, 2);
    body->setColumnStretch(1, 1);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(banner);
    layout->addLayout(body);
    layout->setSizeConstraint(QLayout::SetFixedSize);
}

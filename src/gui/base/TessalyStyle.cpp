#include "TessalyStyle.h"

#include <QApplication>
#include <QStyleOptionGroupBox>

#include <algorithm>

CTessalyStyle::CTessalyStyle() : QProxyStyle(nullptr) {}

QRect CTessalyStyle::subControlRect(ComplexControl control, const QStyleOptionComplex* option, SubControl subControl,
                                    const QWidget* widget) const
{
    QRect rect = QProxyStyle::subControlRect(control, option, subControl, widget);
    if (control != CC_GroupBox || subControl != SC_GroupBoxLabel)
        return rect;
    const QStyleOptionGroupBox* groupBox = qstyleoption_cast<const QStyleOptionGroupBox*>(option);
    if (!groupBox || groupBox->text.isEmpty())
        return rect;
    QString text = groupBox->text;
    text.remove(QLatin1Char('&'));
    const int needed = std::max(groupBox->fontMetrics.horizontalAdvance(text),
                                groupBox->fontMetrics.boundingRect(text).width()) + 1;
    if (rect.width() < needed)
        rect.setRight(std::min(rect.left() + needed - 1, std::max(rect.right(), groupBox->rect.right())));
    return rect;
}

void CTessalyStyle::PrepareHighDpi()
{
    // At 200 % the window is laid out as at 100 %, twice as large; the skin's sizes in pixels
    // follow. Qt 5 rounds the factor by default, so 150 % was drawn at 200 %.
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    QCoreApplication::setAttribute(Qt::AA_UseHighDpiPixmaps);
    QGuiApplication::setHighDpiScaleFactorRoundingPolicy(Qt::HighDpiScaleFactorRoundingPolicy::PassThrough);
}

void CTessalyStyle::Install()
{
    QApplication::setStyle(new CTessalyStyle);
}

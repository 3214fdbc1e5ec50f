#include "app/BandStyle.h"

#include <QApplication>

namespace corvane {

BandStyle::BandStyle()
    : QProxyStyle(QApplication::style()->name())
{
}

int BandStyle::pixelMetric(PixelMetric metric, const QStyleOption *option, const QWidget *widget) const
{
    if (metric == PM_DockWidgetSeparatorExtent)
        return 0;
    return QProxyStyle::pixelMetric(metric, option, widget);
}

} // namespace corvane

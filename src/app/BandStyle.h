#pragma once

#include <QProxyStyle>

namespace corvane {

// The main window's own style: the application's style without the resize
// handle between a fixed dock band and the MDI area. Set on the window only,
// so no child widget looks any different.
class BandStyle : public QProxyStyle {
    Q_OBJECT
public:
    BandStyle();

    int pixelMetric(PixelMetric metric, const QStyleOption *option = nullptr,
                    const QWidget *widget = nullptr) const override;
};

} // namespace corvane

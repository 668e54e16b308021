#pragma once

#include <QProxyStyle>

// The program's style: the platform's own, except that a group box's title gets room for all
// of it. The style measures the title with the font's rounded metrics, which can come out a few
// pixels short of the text as drawn, so a title lost its last letter (in Bulgarian, often).
class CTessalyStyle : public QProxyStyle
{
    Q_OBJECT
public:
    CTessalyStyle();

    QRect subControlRect(ComplexControl control, const QStyleOptionComplex* option, SubControl subControl,
                         const QWidget* widget = nullptr) const override;

    // Makes it the application's style; the skin's style sheet draws on top of it.
    static void Install();
    // The screen's scale as the desktop sets it (125 %, 150 %, 200 %), pictures at twice the
    // size where there are any. Before the application object: only then does Qt read these.
    static void PrepareHighDpi();
};

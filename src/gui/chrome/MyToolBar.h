#pragma once

#include <QProxyStyle>
#include <QToolBar>

// A tool bar whose buttons share one height (horizontal) or one width (vertical).
class QMyToolBar : public QToolBar
{
    Q_OBJECT
public:
    explicit QMyToolBar(QWidget* parent = nullptr);

    // With the text under the icon, a label of several words that is much wider than the icon
    // goes on two lines, so that a row of buttons fits a narrower window; a horizontal bar that
    // still does not fit shows icons only rather than hide actions behind its overflow arrow.
    void SetTwoLineLabels(bool on);

protected:
    void resizeEvent(QResizeEvent* event) override;
    void actionEvent(QActionEvent* event) override;
    void childEvent(QChildEvent* event) override;

private:
    void NameButtons();
    void ScheduleFit();
    void FitLabels();

    int m_nMaxWidth;
    int m_nMaxHeight;
    QStyle* m_pLabelStyle;  // owned by the bar; null while labels stay on one line
    bool m_bFitting;
    bool m_bFitScheduled;
    QString m_qsFitKey;  // width and visible actions of the last fit
};

// The platform's style, except that a tool button with its text under the icon shows a long
// label of several words on two lines, broken where the longer line is shortest.
class CTwoLineLabelStyle : public QProxyStyle
{
    Q_OBJECT
public:
    CTwoLineLabelStyle();

    // The label as drawn: text itself, or its two lines.
    static QString Label(const QString& text, const QFontMetrics& metrics, int iconWidth);

    QSize sizeFromContents(ContentsType type, const QStyleOption* option, const QSize& contentsSize,
                           const QWidget* widget = nullptr) const override;
    void drawComplexControl(ComplexControl control, const QStyleOptionComplex* option, QPainter* painter,
                            const QWidget* widget = nullptr) const override;
};

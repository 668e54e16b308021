#pragma once

#include <QToolBar>

// A tool bar whose buttons share one height (horizontal) or one width (vertical).
class QMyToolBar : public QToolBar
{
    Q_OBJECT
public:
    explicit QMyToolBar(QWidget* parent = nullptr);

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    int m_nMaxWidth;
    int m_nMaxHeight;
};

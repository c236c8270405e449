#pragma once

#include <QColor>
#include <QWidget>
#include <cstdint>

// The five-bar signal gauge beside the signal strength text. Bars light green from the
// shortest up as the strength reaches each threshold; the rest are dark grey.
class CSignualStatic : public QWidget
{
    Q_OBJECT
public:
    static constexpr std::int32_t kNoValue = -1000;
    static constexpr int kBoxWidth = 65;
    static constexpr int kBoxHeight = 20;
    static constexpr int kBarCount = 5;
    static constexpr int kBarGap = 2;
    // The strength in dBm at which each bar, shortest first, turns green.
    static constexpr std::int32_t kThresholds[kBarCount] = {-110, -105, -95, -83, -75};
    static inline const QColor kLitColour{20, 240, 20};
    static inline const QColor kUnlitColour{40, 40, 40};
    // Lit bars while the gauge is disabled: a value the unit gave when it last answered.
    static inline const QColor kGreyedColour{150, 150, 150};

    explicit CSignualStatic(QWidget* parent = nullptr);

    void SetValue(std::int32_t dbm);
    std::int32_t GetValue() const { return m_value; }

    // A bar's rectangle, 0 the shortest, in the gauge's own coordinates.
    static QRect BarRect(int bar);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    std::int32_t m_value = kNoValue;
};

#include "caption_fit.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QStyle>
#include <QStyleOptionGroupBox>

namespace qmz {

int captionOverflow(const QWidget* w) {
    const QFontMetrics fm = w->fontMetrics();
    const QStyle* style = w->style();
    if (const auto* radio = qobject_cast<const QRadioButton*>(w)) {
        const int room = radio->width() - style->pixelMetric(QStyle::PM_ExclusiveIndicatorWidth) -
                         style->pixelMetric(QStyle::PM_RadioButtonLabelSpacing);
        return fm.horizontalAdvance(radio->text()) - room;
    }
    if (const auto* check = qobject_cast<const QCheckBox*>(w)) {
        const int room = check->width() - style->pixelMetric(QStyle::PM_IndicatorWidth) -
                         style->pixelMetric(QStyle::PM_CheckBoxLabelSpacing);
        return fm.horizontalAdvance(check->text()) - room;
    }
    if (const auto* button = qobject_cast<const QPushButton*>(w)) {
        const int room = button->width() - style->pixelMetric(QStyle::PM_ButtonMargin) -
                         2 * style->pixelMetric(QStyle::PM_DefaultFrameWidth);
        return fm.horizontalAdvance(button->text().remove(QLatin1Char('&'))) - room;
    }
    if (const auto* label = qobject_cast<const QLabel*>(w)) {
        const int room = label->contentsRect().width() - 2 * label->margin();
        return fm.horizontalAdvance(label->text()) - room;
    }
    if (const auto* box = qobject_cast<const QGroupBox*>(w)) {
        if (box->title().isEmpty()) return 0;
        QStyleOptionGroupBox opt;
        opt.initFrom(box);
        opt.text = box->title();
        opt.subControls = QStyle::SC_GroupBoxFrame | QStyle::SC_GroupBoxLabel;
        const QRect label =
            style->subControlRect(QStyle::CC_GroupBox, &opt, QStyle::SC_GroupBoxLabel, box);
        // The title needs the same margin on its right as on its left.
        const int room = box->width() - 2 * label.left();
        return fm.horizontalAdvance(box->title()) - room;
    }
    return 0;
}

void fitFontToCaptions(QWidget* form, double minimumPoints) {
    QFont font = form->font();
    auto fits = [form] {
        for (const QWidget* w : form->findChildren<QWidget*>()) {
            if (captionOverflow(w) > 0) return false;
        }
        return true;
    };
    while (!fits() && font.pointSizeF() - 0.5 >= minimumPoints) {
        font.setPointSizeF(font.pointSizeF() - 0.5);
        form->setFont(font);
    }
}

}  // namespace qmz

#include "app/ui/TranscriptPanel.h"


#include <QAbstractButton>
#include <QApplication>
#include <QGuiApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QRegion>
#include <QScreen>
#include <QScrollBar>

#include "app/ui/MainScreen.h"
#include "app/ui/OwnWindow.h"
#include "app/ui/Theme.h"
#include "app/ui/TranscriptViewController.h"
#include "app/ui/XcbConnection.h"

namespace dictaro {

namespace {

constexpr qreal cornerRadius = 14;
constexpr int fadeMs = 150;

// A compositing manager owns the _NET_WM_CM_S<screen> selection while it runs.
bool compositorRuns() {
    xcb_connection_t* connection = toolkitXcbConnection();
    if (!connection) return false;
    const xcb_atom_t selection = internAtom(connection, "_NET_WM_CM_S0");
    if (selection == XCB_ATOM_NONE) return false;
    const XcbReply<xcb_get_selection_owner_reply_t> owner(
        xcb_get_selection_owner_reply(connection, xcb_get_selection_owner(connection, selection), nullptr));
    return owner && owner->owner != XCB_NONE;
}

PanelRect visibleFrame() {
    const QScreen* screen = mainScreen();
    if (!screen) return panel_geometry::fallbackScreen;
    const QRect area = screen->availableGeometry();
    return {static_cast<double>(area.x()), static_cast<double>(area.y()), static_cast<double>(area.width()),
            static_cast<double>(area.height())};
}

PanelPoint point(QPointF p) { return {p.x(), p.y()}; }

QPainterPath outline(const QRectF& bounds) {
    QPainterPath path;
    path.addRoundedRect(bounds, cornerRadius, cornerRadius);
    return path;
}

}  // namespace

TranscriptPanel::TranscriptPanel(std::shared_ptr<platform::UserDefaults> defaults, QWidget* parent)
    : QWidget(parent, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint |
                          Qt::WindowDoesNotAcceptFocus),
      placement_(std::move(defaults)),
      content_(new TranscriptViewController(this)),
      fade_(this, "windowOpacity"),
      translucent_(compositorRuns()),
      screenArea_(visibleFrame()) {
    markEveryWindowAsOurs();
    setAttribute(Qt::WA_ShowWithoutActivating);
    setAttribute(Qt::WA_TranslucentBackground, translucent_);
    setFocusPolicy(Qt::NoFocus);
    setMouseTracking(true);
    content_->setMouseTracking(true);
    fade_.setDuration(fadeMs);

    const PanelSize size = panel_geometry::clampSize(placement_.size(), screenArea_);
    const PanelPoint origin = panel_geometry::defaultOrigin(size, screenArea_);
    setFrame({origin.x, origin.y, size.width, size.height});

    // The panel sees its views' mouse events first, so a press near an edge
    // or on the background resizes or moves it instead of reaching a view.
    qApp->installEventFilter(this);
}

TranscriptPanel::~TranscriptPanel() { qApp->removeEventFilter(this); }

void TranscriptPanel::render(const TranscriptDisplay& display) { content_->render(display); }

void TranscriptPanel::showAtPersistedPosition() {
    fade_.stop();
    fade_.disconnect(this);
    fadingOut_ = false;
    screenArea_ = visibleFrame();
    setFrame(placement_.frameForShow(screenArea_));
    setWindowOpacity(0);
    show();
    raise();
    fade_.setStartValue(0.0);
    fade_.setEndValue(1.0);
    fade_.start();
}

void TranscriptPanel::dismiss() {
    fade_.stop();
    fade_.disconnect(this);
    fade_.setStartValue(windowOpacity());
    fade_.setEndValue(0.0);
    fadingOut_ = true;
    connect(&fade_, &QPropertyAnimation::finished, this, [this] {
        fadingOut_ = false;
        hide();
        setWindowOpacity(1);
    });
    fade_.start();
}

bool TranscriptPanel::eventFilter(QObject* watched, QEvent* event) {
    const QEvent::Type type = event->type();
    if (type != QEvent::MouseButtonPress && type != QEvent::MouseMove && type != QEvent::MouseButtonRelease) {
        return false;
    }
    auto* widget = qobject_cast<QWidget*>(watched);
    if (!widget || widget->window() != this) return false;
    auto* mouse = static_cast<QMouseEvent*>(event);
    const QPointF onScreen = mouse->globalPosition();
    switch (type) {
        case QEvent::MouseButtonPress:
            if (mouse->button() != Qt::LeftButton) return false;
            return placement_.press(point(mapFromGlobal(onScreen)), point(onScreen), frame(), startsMove(watched));
        case QEvent::MouseMove:
            if (!(mouse->buttons() & Qt::LeftButton) || !placement_.isTracking()) {
                updateCursor(mapFromGlobal(onScreen).toPoint());
                return false;
            }
            if (const auto moved = placement_.drag(point(onScreen), screenArea_)) setFrame(*moved);
            return true;
        case QEvent::MouseButtonRelease:
            if (mouse->button() != Qt::LeftButton) return false;
            return placement_.release(frame());
        default: return false;
    }
}

// Presses on the buttons and the scroll bar stay theirs; the rest of the
// panel is background that moves it.
bool TranscriptPanel::startsMove(QObject* pressed) const {
    for (QObject* object = pressed; object && object != this; object = object->parent()) {
        if (qobject_cast<QAbstractButton*>(object) || qobject_cast<QScrollBar*>(object)) return false;
    }
    return true;
}

void TranscriptPanel::updateCursor(QPoint inPanel) {
    const auto edge = panel_geometry::resizeEdge(point(inPanel), placement_.size());
    if (!edge) {
        unsetCursor();
    } else if (*edge == ResizeEdge::left || *edge == ResizeEdge::right) {
        setCursor(Qt::SizeHorCursor);
    } else {
        setCursor(Qt::SizeVerCursor);
    }
}

PanelRect TranscriptPanel::frame() const {
    const QRect g = geometry();
    return {static_cast<double>(g.x()), static_cast<double>(g.y()), static_cast<double>(g.width()),
            static_cast<double>(g.height())};
}

void TranscriptPanel::setFrame(const PanelRect& frame) {
    setGeometry(qRound(frame.x), qRound(frame.y), qRound(frame.width), qRound(frame.height));
}

void TranscriptPanel::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF bounds = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    if (translucent_) {
        painter.fillPath(outline(bounds), Theme::colour(ThemeColour::elev, 0.86));
    } else {
        painter.fillRect(rect(), Theme::elev());
    }
    painter.setPen(QPen(Theme::rule(), 1));
    painter.drawPath(outline(bounds));
}

void TranscriptPanel::resizeEvent(QResizeEvent*) {
    content_->setGeometry(rect());
    if (!translucent_) {
        setMask(QRegion(outline(QRectF(rect())).toFillPolygon().toPolygon()));
    }
}

}  // namespace dictaro

// A small editor window that the desktop tests type and paste into. It
// writes its whole text to the --record file after every change, so a test
// can see exactly what reached it.
//
//   --app-id ID          the application id the window carries
//   --record FILE        where the text goes
//   --paste MODE         standard: Ctrl+V pastes (the default); slow: Ctrl+V
//                        pastes 600 ms later; never: no key pastes;
//                        terminal: only Ctrl+Shift+V pastes
//   --own-clipboard TEXT takes the clipboard with TEXT and a small PNG
//   --secret             marks that clipboard content as a password
//   --field-name, --field-description TEXT
//                        what the editor tells assistive technologies
#include <QApplication>
#include <QBuffer>
#include <QClipboard>
#include <QCommandLineParser>
#include <QFile>
#include <QImage>
#include <QKeyEvent>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QSaveFile>
#include <QTimer>
#include <xcb/xcb.h>

namespace {

// Qt does not put the application id on its windows; GTK's property is the
// first place the desktop looks for it.
void setApplicationId(QWidget& window, const QString& id) {
    auto* x11 = qApp->nativeInterface<QNativeInterface::QX11Application>();
    if (!x11) return;
    xcb_connection_t* connection = x11->connection();
    const QByteArray name = "_GTK_APPLICATION_ID";
    xcb_intern_atom_reply_t* property =
        xcb_intern_atom_reply(connection, xcb_intern_atom(connection, 0, name.size(), name.constData()), nullptr);
    xcb_intern_atom_reply_t* utf8 =
        xcb_intern_atom_reply(connection, xcb_intern_atom(connection, 0, 11, "UTF8_STRING"), nullptr);
    if (property && utf8) {
        const QByteArray value = id.toUtf8();
        xcb_change_property(connection, XCB_PROP_MODE_REPLACE, static_cast<xcb_window_t>(window.winId()),
                            property->atom, utf8->atom, 8, static_cast<uint32_t>(value.size()), value.constData());
        xcb_flush(connection);
    }
    free(property);
    free(utf8);
}

class Editor final : public QPlainTextEdit {
public:
    Editor(QString mode, QString record) : mode_(std::move(mode)), record_(std::move(record)) {
        connect(this, &QPlainTextEdit::textChanged, this, [this] { save(); });
        save();
    }

protected:
    void keyPressEvent(QKeyEvent* event) override {
        const auto modifiers = event->modifiers() & (Qt::ShiftModifier | Qt::ControlModifier | Qt::AltModifier);
        if (event->key() == Qt::Key_V && (modifiers & Qt::ControlModifier)) {
            const bool shifted = modifiers & Qt::ShiftModifier;
            if ((mode_ == "standard" && !shifted) || (mode_ == "terminal" && shifted)) paste();
            if (mode_ == "slow" && !shifted) QTimer::singleShot(600, this, [this] { paste(); });
            return;
        }
        QPlainTextEdit::keyPressEvent(event);
    }

private:
    void save() {
        if (record_.isEmpty()) return;
        QSaveFile file(record_);
        if (!file.open(QIODevice::WriteOnly)) return;
        file.write(toPlainText().toUtf8());
        file.commit();
    }

    QString mode_;
    QString record_;
};

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QCommandLineParser parser;
    const QCommandLineOption appId("app-id", "", "id", "org.dictaro.TestTarget");
    const QCommandLineOption record("record", "", "file");
    const QCommandLineOption paste("paste", "", "mode", "standard");
    const QCommandLineOption ownClipboard("own-clipboard", "", "text");
    const QCommandLineOption fieldName("field-name", "", "text");
    const QCommandLineOption fieldDescription("field-description", "", "text");
    const QCommandLineOption secret("secret");
    parser.addOptions({appId, record, paste, ownClipboard, secret, fieldName, fieldDescription});
    parser.process(app);

    QGuiApplication::setDesktopFileName(parser.value(appId));
    if (parser.isSet(ownClipboard)) {
        auto* data = new QMimeData;
        data->setText(parser.value(ownClipboard));
        QImage image(8, 8, QImage::Format_RGB32);
        image.fill(QColor(200, 30, 40));
        QByteArray png;
        QBuffer buffer(&png);
        buffer.open(QIODevice::WriteOnly);
        image.save(&buffer, "PNG");
        data->setData("image/png", png);
        if (parser.isSet(secret)) data->setData("x-kde-passwordManagerHint", "secret");
        QGuiApplication::clipboard()->setMimeData(data);
    }
    Editor editor(parser.value(paste), parser.value(record));
    editor.setWindowTitle(parser.value(appId));
    editor.setAccessibleName(parser.value(fieldName));
    editor.setAccessibleDescription(parser.value(fieldDescription));
    editor.resize(400, 300);
    // Set before the window is mapped, so the window manager and the focus
    // tracker see it from the first activation on.
    setApplicationId(editor, parser.value(appId));
    editor.show();
    return app.exec();
}

#include "app/ui/FormattingSection.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <chrono>
#include <filesystem>
#include <thread>

#include "app/formatting/KeychainHelper.h"
#include "tests/support/FormattingSectionTestSupport.h"
#include "platform/concurrency/MainActor.h"
#include "platform/settings/NotificationCenter.h"
#include "tests/support/FakeProviderServer.h"
#include "tests/support/PausedSecretService.h"
#include "tests/support/PrivateSessionBus.h"
#include "tests/support/TempDirectory.h"

namespace dictaro {
namespace {

using namespace std::chrono_literals;
using testsupport::FakeProviderServer;
using testsupport::ScriptedAnswer;
using Clock = std::chrono::steady_clock;

class FormattingSectionWidgetTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(QGuiApplication::platformName(), "xcb") << "these tests draw on the test session's X server";
        ASSERT_TRUE(testsupport::onPrivateSessionBus());
        for (FormattingProvider provider : kAllFormattingProviders) KeychainHelper::remove(apiKeyAccount(provider));
    }

    FormattingSection& open(std::vector<std::pair<std::string, platform::JSONValue>> stored) {
        auto defaults = std::make_shared<platform::UserDefaults>(folder_.path() / "settings.json");
        stored.emplace_back("OllamaHost", ollama_.endpoint());
        defaults->set(std::move(stored));
        section_ = std::make_unique<FormattingSection>(
            FormattingSectionPresenter::create(defaults, testing::probeAgainst(provider_)));
        section_->resize(520, 10);
        section_->show();
        section_->activate();
        return *section_;
    }

    template <class T>
    T& child(const char* name) {
        T* found = section_->findChild<T*>(QString::fromLatin1(name));
        if (found == nullptr) throw std::runtime_error(std::string("no widget ") + name);
        return *found;
    }
    std::string text(const char* label) { return child<QLabel>(label).text().toStdString(); }

    // Runs the event loop and the main actor until `done` holds; false after 10 s.
    template <class Predicate>
    bool serveUntil(Predicate done) {
        const auto deadline = Clock::now() + 10s;
        while (!done()) {
            if (Clock::now() > deadline) return false;
            QApplication::processEvents();
            platform::MainActor::waitAndDrain(5ms);
        }
        return true;
    }

    void screenshot(const std::string& name) {
        section_->adjustSize();
        QApplication::processEvents();
        std::filesystem::create_directories(SCREENSHOT_DIR);
        const std::string path = std::string(SCREENSHOT_DIR) + "/formatting-section-" + name + ".png";
        ASSERT_TRUE(section_->grab().save(QString::fromStdString(path))) << path;
    }

    testsupport::TempDirectory folder_;
    FakeProviderServer provider_;
    FakeProviderServer ollama_;
    std::unique_ptr<FormattingSection> section_;
};

TEST_F(FormattingSectionWidgetTest, AKeyTypedIntoTheFieldIsCheckedOnceAndShownConnected) {
    provider_.script("/v1/responses", ScriptedAnswer()
                                          .write(testsupport::wire::responsesText("Test."))
                                          .write(testsupport::wire::responsesEnd()));
    open({{"FormattingProvider", "openai"}});
    EXPECT_TRUE(child<QLineEdit>("apiKeyField").isVisible());
    EXPECT_FALSE(child<QLineEdit>("hostField").isVisible());
    EXPECT_EQ(child<QPushButton>("getKeyButton").text().toStdString(), "Get a OpenAI API key \u2192");
    ASSERT_TRUE(serveUntil([&] { return !section_->presenter().isValidating(); }));

    QLineEdit& key = child<QLineEdit>("apiKeyField");
    key.setFocus();
    QTest::keyClicks(&key, QStringLiteral("sk-proj-0123456789abcdefghijklmnopqrstuv"));
    EXPECT_EQ(text("statusLabel"), "Checking\u2026");
    ASSERT_TRUE(serveUntil([&] { return !section_->presenter().isValidating(); }));
    EXPECT_EQ(text("statusLabel"), "\u25CF Connected to OpenAI, model gpt-5.4-mini");
    EXPECT_EQ(provider_.requests().size(), 1u);
    EXPECT_EQ(KeychainHelper::get(apiKeyAccount(FormattingProvider::openai)), "sk-proj-0123456789abcdefghijklmnopqrstuv");
    screenshot("openai");

    // Turning formatting off from the check box disables the fields and saves it.
    child<QCheckBox>("enableToggle").click();
    EXPECT_FALSE(child<QComboBox>("providerPopup").isEnabled());
    EXPECT_FALSE(key.isEnabled());
    EXPECT_EQ(text("statusLabel"), "");
    EXPECT_FALSE(FormattingConfig::fromDefaults(platform::UserDefaults(folder_.path() / "settings.json")).enabled);
}

TEST_F(FormattingSectionWidgetTest, TheOllamaBlockShowsTheServerAndAMissingModel) {
    ollama_.script("/api/tags", ScriptedAnswer().write(R"({"models":[{"name":"llama3.3:latest"}]})"));
    open({{"FormattingProvider", "ollama"}, {"FormattingModel-ollama", "qwen3:4b"}});
    EXPECT_FALSE(child<QLineEdit>("apiKeyField").isVisible());
    EXPECT_TRUE(child<QLineEdit>("hostField").isVisible());
    ASSERT_TRUE(serveUntil([&] { return text("daemonStatusLabel") == "\u2705  Ollama is running"; }));
    EXPECT_EQ(text("modelStatusLabel"), "\u26A0\uFE0F  qwen3:4b not installed yet");
    EXPECT_TRUE(child<QPushButton>("modelActionButton").isVisible());
    EXPECT_EQ(child<QPushButton>("modelActionButton").text().toStdString(), "Download qwen3:4b");
    screenshot("ollama");

    QLineEdit& host = child<QLineEdit>("hostField");
    host.setText(QStringLiteral("ftp://127.0.0.1:11434"));
    emit host.editingFinished();
    EXPECT_EQ(text("statusLabel"), "\u2717 Invalid URL");
    EXPECT_EQ(FormattingConfig::fromDefaults(platform::UserDefaults(folder_.path() / "settings.json")).ollamaHost.absoluteString(),
              ollama_.endpoint());
}

// Last in this file: it ends the toolkit's event loop the way quitting does.
TEST_F(FormattingSectionWidgetTest, AKeyTypedJustBeforeQuittingIsStoredEvenWithASlowSecretService) {
    open({{"FormattingProvider", "openai"}});
    ASSERT_TRUE(serveUntil([&] { return !section_->presenter().isValidating(); }));
    QLineEdit& key = child<QLineEdit>("apiKeyField");
    key.setFocus();
    testsupport::PausedSecretService busy;
    ASSERT_TRUE(busy.isPaused());
    std::thread slowAnswer([&] {
        std::this_thread::sleep_for(1s);
        busy.resume();
    });
    QTest::keyClicks(&key, QStringLiteral("sk-typed-right-before-quitting"));
    QTimer::singleShot(0, qApp, &QCoreApplication::quit);
    QApplication::exec();
    slowAnswer.join();
    EXPECT_EQ(KeychainHelper::get(apiKeyAccount(FormattingProvider::openai)), "sk-typed-right-before-quitting");
}

}  // namespace
}  // namespace dictaro

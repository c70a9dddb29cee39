#pragma once
#include <QWidget>
#include <memory>

#include "app/qt/widget_adapters.h"
#include "app/views/certificate_view.h"

namespace Ui {
class CertificateView;
}

namespace qel::qt {

/// The certificates sub-view: one row per certificate of the card, with its show and save buttons.
class QtCertificateView : public QWidget, public ui::CertificateView {
    Q_OBJECT
public:
    explicit QtCertificateView(QWidget* parent = nullptr);
    ~QtCertificateView() override;

    const ui::CertificateOutlets& outlets() override { return outlets_; }
    void setViewHidden(bool hidden) override { setHidden(hidden); }

private:
    std::unique_ptr<Ui::CertificateView> ui_;
    WidgetAdapters adapters_;
    ui::CertificateOutlets outlets_;
};

/// The certificate dialog, window-modal over `parent`.
class QtCertificateViewer : public ui::CertificateViewer {
public:
    explicit QtCertificateViewer(QWidget* parent) : parent_(parent) {}
    void show(const ui::CertificateDetails& details) override;

private:
    QWidget* parent_;
};

/// The save dialog, window-modal over `parent`.
class QtFilePicker : public ui::FilePicker {
public:
    explicit QtFilePicker(QWidget* parent) : parent_(parent) {}
    std::optional<std::string> chooseSaveLocation(const ui::SaveRequest& request) override;

private:
    QWidget* parent_;
};

}  // namespace qel::qt

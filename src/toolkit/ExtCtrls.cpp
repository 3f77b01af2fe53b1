#include "toolkit/ExtCtrls.h"

TImage::TImage() : FPicture(std::make_unique<TPicture>()) {
    FPicture->OnProgress = [this](TObject* sender, TProgressStage stage, uint8_t percent,
                                  bool redraw, const TRect& r, const QString& msg) {
        if (OnProgress)
            OnProgress(sender, stage, percent, redraw, r, msg);
    };
    FPicture->OnChange = [this] { Repaint(); };
}

TImage::~TImage() {
    // The picture's callbacks point at this control; drop them before the members go.
    FPicture->OnProgress = nullptr;
    FPicture->OnChange = nullptr;
}

void TImage::SetPicture(const TPicture* source) {
    FPicture->Assign(source);
}

void TImage::Repaint() {
    if (OnRepaint)
        OnRepaint();
}

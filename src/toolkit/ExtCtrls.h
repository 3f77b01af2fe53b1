// The toolkit's image control model: a picture with a control size, the picture's loading
// progress passed on, and a repaint hook. It has no window of its own, so any thread can own
// one (the drawing thread loads each picture file into a temporary one); a widget that shows an
// image on screen keeps one of these and repaints itself from the hook.
#pragma once

#include "toolkit/Graphics.h"

#include <functional>
#include <memory>

class TImage : public TObject {
public:
    TImage();
    ~TImage() override;
    TImage(const TImage&) = delete;
    TImage& operator=(const TImage&) = delete;

    // The picture shown; owned by the control and never null.
    TPicture* Picture() const { return FPicture.get(); }
    // Makes the control's picture a copy of source's graphic (none clears it).
    void SetPicture(const TPicture* source);

    int Width() const { return FWidth; }
    int Height() const { return FHeight; }
    void SetWidth(int width) { FWidth = width; }
    void SetHeight(int height) { FHeight = height; }
    void SetBounds(int width, int height) {
        FWidth = width;
        FHeight = height;
    }

    // The picture's progress while it decodes (JPEG); Sender is the graphic. Runs on the
    // thread that draws or converts the picture.
    TProgressEvent OnProgress;
    // Called when the control should be drawn again: after its picture changed and on Repaint.
    // The widget showing the control sets it; it runs on the thread that changed the picture.
    std::function<void()> OnRepaint;

    // Asks for a repaint now (calls OnRepaint when set).
    void Repaint();

private:
    std::unique_ptr<TPicture> FPicture;
    int FWidth = 0;
    int FHeight = 0;
};

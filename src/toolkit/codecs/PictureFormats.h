// The picture formats the toolkit reads, each with its file extensions, the signature its files
// begin with, and the graphic class that reads it. A file is read as the format its first bytes
// name; the extension decides only where the content has no signature (a WMF without its
// placeable header) or no reader knows it (the reader of the extension then says what is wrong).
#pragma once

#include "toolkit/Graphics.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <memory>
#include <vector>

struct TPictureFormat {
    const char* Name;       // "PNG"
    QStringList Extensions; // lower case, without the dot; the first is the usual one
    // True when the file's first bytes are this format's (the head may be short); nullptr for a
    // format without a signature.
    bool (*Matches)(const QByteArray& head);
    std::unique_ptr<TGraphic> (*Create)();
};

// Every format, in the order the signatures are tried.
const std::vector<TPictureFormat>& PictureFormats();

// The format whose signature the head matches, else the one the extension (lower case, no dot)
// names, else nullptr.
const TPictureFormat* FindPictureFormat(const QByteArray& head, const QString& extension);

// "*.bmp *.jpg ..." of every format in table order, for the open dialogs' filters.
QString PictureFilePatterns(QChar separator = QLatin1Char(' '));

// "BMP, JPEG, ..." of every format in table order, for help texts.
QString PictureFormatNames();

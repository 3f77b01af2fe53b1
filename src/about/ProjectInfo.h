// The project's name, version, authorship and addresses, in one place. The addresses are
// placeholders under example.org until the project has its own.
#pragma once

#include <QString>

namespace ProjectInfo {

inline QString ProductName() {
    return QStringLiteral("Tapestrix");
}
inline QString VersionText() {
    return QStringLiteral("Version 1.3");
}
inline QString Authorship() {
    return QStringLiteral("Copyright \u00A9 2004-2026 The Tapestrix authors");
}
inline QString TermsOfUse() {
    return QStringLiteral("Tapestrix is freeware: you may use it and pass it on free of charge. "
                          "It comes without warranty of any kind; you use it at your own risk.");
}

// The maker's mail address and web site.
inline QString MailAddress() {
    return QStringLiteral("tapestrix@example.org");
}
inline QString HomePageText() {
    return QStringLiteral("www.example.org");
}
inline QString EntryPage() {
    return QStringLiteral("https://www.example.org/index.php");
}
inline QString ProductId() {
    return QStringLiteral("tapestrix");
} // the "id" parameter
inline QString SoftwareSection() {
    return QStringLiteral("software");
} // the "redir" parameter

// "mailto:" + address + "?subject=" + the product name with each space as "%20".
inline QString MailLink() {
    return QStringLiteral("mailto:") + MailAddress() + QStringLiteral("?subject=") +
           QString(ProductName()).replace(QLatin1Char(' '), QLatin1String("%20"));
}
// The entry page with the product's id.
inline QString HomePageLink() {
    return EntryPage() + QStringLiteral("?id=") + ProductId();
}
// The same page, sent on to the section of the software page about this product.
inline QString ProductPageLink() {
    return HomePageLink() + QStringLiteral("&redir=") + SoftwareSection();
}

} // namespace ProjectInfo

# The Debian package, made by CPack from what `cmake --install` puts in place (see
# ./build.sh package): tapestrix_<version>_amd64.deb, its library dependencies computed by
# dpkg-shlibdeps from the programs.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tapestrix)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The Tapestrix authors")
set(CPACK_PACKAGE_CONTACT "The Tapestrix authors <tapestrix@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "compose desktop wallpapers and change them on a schedule")
# The summary is the synopsis; this the extended description below it.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Tapestrix builds a wallpaper from a foreground picture, scaled to fit the
screen and centred, over a background: a second picture, tiled or stretched,
or a solid colour. Pictures may be BMP, JPEG, ICO, EMF or WMF files.
Combinations are kept as presets; Tapestrix changes the wallpaper every few
minutes, at logon or on demand, and lives as an icon in the notification area.
It sets the wallpaper on GNOME, KDE Plasma, Xfce, Cinnamon, MATE, LXQt, LXDE,
Deepin, sway, Hyprland and other X11 and Wayland desktops.
The command tapestrix-compose composes the same wallpapers from scripts.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://www.example.org/index.php?id=tapestrix")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Beside the libraries: Qt's Wayland platform plugin, which a Wayland session without Xwayland
# (Debian's sway) needs.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-wayland")
# The fonts that draw the text of Windows metafile pictures with the widths of the Windows ones,
# and Symbola, which has every character of their symbol fonts.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS
    "fonts-liberation2, fonts-crosextra-carlito, fonts-crosextra-caladea, fonts-symbola")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
include(CPack)

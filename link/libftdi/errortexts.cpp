// What the user is told when the libftdi1 backend fails: each text says what
// happened and what to do.
#include "libftdibackend.h"

#include <cerrno>
#include <cstring>

namespace lumora {

const char UnpluggedText[] = "the widget was unplugged: plug it in again, then scan and open it";

namespace {

const char PermissionAdvice[] =
    "install the udev rule 60-lumora-configurator.rules or add yourself to the plugdev group (see the README)";

std::string errnoText(int error)
{
    return "errno " + std::to_string(error) + ": " + std::strerror(error);
}

// The name the kernel gives the widget's interface under
// /sys/bus/usb/drivers/, such as 1-1.2:1.0.
std::string interfaceBusId(libusb_device *dev)
{
    const std::vector<uint8_t> path = portPath(dev);
    std::string id = std::to_string(path[0]) + "-";
    for (size_t i = 1; i < path.size(); ++i)
        id += (i > 1 ? "." : "") + std::to_string(path[i]);
    return id + ":1.0";
}

// Does a kernel driver still hold the widget's interface? Asked on a handle
// of our own, since the failed open left none.
bool kernelDriverHolds(libusb_device *dev)
{
    libusb_device_handle *handle = nullptr;
    if (libusb_open(dev, &handle) != 0)
        return false;
    const bool active = libusb_kernel_driver_active(handle, 0) == 1;
    libusb_close(handle);
    return active;
}

} // namespace

std::string openFailureText(ftdi_context *ctx, int code, int error, libusb_device *dev)
{
    const std::string detail = std::string(" (libftdi1: ") + ftdi_get_error_string(ctx) + "; " + errnoText(error) + ")";
    if (code == -8 || error == EACCES || error == EPERM)
        return "no permission to use the widget's USB device " + deviceNode(dev) + ": " + PermissionAdvice
               + ", then plug the widget in again" + detail;
    if (code == -4 && (error == ENOENT || error == ENODEV))
        return "the widget was unplugged: scan again" + detail;
    if (code == -5 || code == -11) {
        if (kernelDriverHolds(dev))
            return "the kernel's serial driver (ftdi_sio) holds the widget and could not be detached: close the"
                   " program that uses its serial port (fuser -v /dev/ttyUSB* tells which), then unbind the driver"
                   " from this widget (echo -n " + interfaceBusId(dev)
                   + " | sudo tee /sys/bus/usb/drivers/ftdi_sio/unbind) or unload it (sudo rmmod ftdi_sio)" + detail;
        return "another program holds the widget (its interface is claimed): close that program, or the other"
               " window or flasher using this widget, and try again" + detail;
    }
    return std::string("the widget could not be opened") + detail;
}

std::string unreadableStringsText(int code, libusb_device *dev)
{
    return (code == LIBUSB_ERROR_ACCESS
                ? "no permission to read the description and serial number of " + deviceNode(dev) + ": "
                      + PermissionAdvice
                : "the description and serial number of " + deviceNode(dev) + " could not be read")
           + " (libusb: " + libusb_error_name(code) + ")";
}

std::string readFailureText(ftdi_context *ctx, int code)
{
    return code == LIBUSB_ERROR_NO_DEVICE ? std::string(UnpluggedText)
                                          : std::string("reading from the widget failed: ") + libusb_error_name(code)
                                                + " (libftdi1: " + ftdi_get_error_string(ctx) + ")";
}

std::string writeFailureText(ftdi_context *ctx, int error)
{
    // libftdi1 turns every failed transfer into -1; the errno of the
    // submission tells a widget that is gone.
    return error == ENODEV ? std::string(UnpluggedText)
                           : std::string("writing to the widget failed (libftdi1: ") + ftdi_get_error_string(ctx)
                                 + (error ? "; " + errnoText(error) : std::string()) + ")";
}

std::string callFailureText(ftdi_context *ctx, const char *what)
{
    return std::string(what) + " (libftdi1: " + ftdi_get_error_string(ctx) + ")";
}

} // namespace lumora

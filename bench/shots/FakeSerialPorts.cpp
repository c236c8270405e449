// Preloaded into the program, this stands in for the system's serial port enumeration, so a
// run on a machine without adapters shows what the port list makes of a built-in port, a USB
// adapter and a modem-class adapter. Only the calls the port list makes are replaced; opening
// a port never goes through them.
#include <libserialport.h>

#include <cstdlib>

namespace
{
struct FakePort
{
    const char* name;
    sp_transport transport;
    const char* product;
    const char* serial;
};

const FakePort kPorts[] = {
    {"/dev/ttyS0", SP_TRANSPORT_NATIVE, nullptr, nullptr},
    {"/dev/ttyUSB0", SP_TRANSPORT_USB, "FT232R USB UART", "A10K3Z"},
    {"/dev/ttyACM0", SP_TRANSPORT_USB, "STM32 Virtual ComPort", "6D8A3B5E4852"},
};

const FakePort* Of(const sp_port* port)
{
    return reinterpret_cast<const FakePort*>(port);
}
}

extern "C" {
sp_return sp_list_ports(sp_port*** list)
{
    constexpr std::size_t count = sizeof kPorts / sizeof kPorts[0];
    auto** ports = static_cast<sp_port**>(std::calloc(count + 1, sizeof(sp_port*)));
    if (ports == nullptr)
        return SP_ERR_MEM;
    for (std::size_t i = 0; i < count; ++i)
        ports[i] = reinterpret_cast<sp_port*>(const_cast<FakePort*>(&kPorts[i]));
    *list = ports;
    return SP_OK;
}

void sp_free_port_list(sp_port** ports)
{
    std::free(ports);
}

char* sp_get_port_name(const sp_port* port)
{
    return const_cast<char*>(Of(port)->name);
}

sp_transport sp_get_port_transport(const sp_port* port)
{
    return Of(port)->transport;
}

char* sp_get_port_usb_product(const sp_port* port)
{
    return const_cast<char*>(Of(port)->product);
}

char* sp_get_port_usb_serial(const sp_port* port)
{
    return const_cast<char*>(Of(port)->serial);
}
}

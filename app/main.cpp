#include "app/conntesterservice.h"

int main(int argc, char **argv)
{
    ConnTesterService service(argc, argv);
    return service.exec();
}

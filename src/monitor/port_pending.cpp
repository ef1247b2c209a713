// Placeholder until the port monitor lands; removed with it.
#include "monitor/port.h"
#include "app/status.h"
#include "kni/bkni.h"
void task_port(BKNI_TaskHandle, void *)
{
    while (!g_status.quit)
        BKNI_Sleep(1000);
}

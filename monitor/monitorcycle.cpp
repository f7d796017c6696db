#include "monitor/form1.h"

namespace vantel {

void Form1::C1_Click() {}
void Form1::Timer1_Timer() {}
void Form1::Timer2_Timer() {}
void Form1::MSComm1_OnComm() {}
void Form1::T1_Change() {}
void Form1::T2_Change() {}
void Form1::Text4_Change() {}
void Form1::Text5_Change() {}

} // namespace vantel

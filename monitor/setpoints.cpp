#include "monitor/form1.h"

namespace vantel {

void Form1::C2_Click() {}
void Form1::C3_Click() {}
void Form1::C4_Click() {}
void Form1::C5_Click() {}
void Form1::C6_Click() {}
void Form1::C7_Click() {}
void Form1::C8_Click() {}
void Form1::C9_Click() {}
void Form1::C10_Click() {}
void Form1::C11_Click() {}
void Form1::C12_Click() {}
void Form1::C13_Click() {}
void Form1::C14_Click() {}
void Form1::C15_Click() {}
void Form1::C34_Click() {}
void Form1::C35_Click() {}
void Form1::C23_Click() {}
void Form1::C24_Click() {}
void Form1::C18_Click() {}
void Form1::C19_Click() {}
void Form1::C25_Click() {}

} // namespace vantel

// One thunk per import slot of the plug-in, for the stand-in game's watch on
// what the plug-in calls while it is unloaded or the process ends. A thunk
// goes straight on to the import's target unless a phase is set; then it
// first has the call noted, keeping every argument register (integer and
// vector) as it found it and the stack as the caller left it.
    .intel_syntax noprefix
    .altmacro

    .macro thunk n
    .p2align 4
importThunk\n:
    cmp qword ptr [rip + importCallPhase], 0
    jne 1f
    jmp qword ptr [rip + importTargets + 8 * \n]
1:
    push rcx
    push rdx
    push r8
    push r9
    sub rsp, 0x68                      // shadow space, four vector registers, 16-byte alignment
    movdqu [rsp + 0x20], xmm0
    movdqu [rsp + 0x30], xmm1
    movdqu [rsp + 0x40], xmm2
    movdqu [rsp + 0x50], xmm3
    mov ecx, \n
    call noteImportCall
    movdqu xmm0, [rsp + 0x20]
    movdqu xmm1, [rsp + 0x30]
    movdqu xmm2, [rsp + 0x40]
    movdqu xmm3, [rsp + 0x50]
    add rsp, 0x68
    pop r9
    pop r8
    pop rdx
    pop rcx
    jmp qword ptr [rip + importTargets + 8 * \n]
    .endm

    .macro address n
    .quad importThunk\n
    .endm

    .text
    .set slot, 0
    .rept 256
    thunk %slot
    .set slot, slot + 1
    .endr

    .section .rdata,"dr"
    .p2align 3
    .globl importThunks
importThunks:                          // the thunks' addresses, by slot
    .set slot, 0
    .rept 256
    address %slot
    .set slot, slot + 1
    .endr

// The stand-in game's three internal functions, as real machine code whose
// first bytes are exactly the signatures the plug-in scans for. Win64
// calling convention in both builds: arguments in rcx, rdx, r8. The
// {load} prefixes pick the register-move encodings the signatures hold.
//
// Data layout shared with game_objects.h:
//   gameEntityPool -> { uint32 count; uint32 pad; GameEntity* entities }
//   GameEntity      = { uint32 handle; uint32 pad; GameObject* object }  (16 bytes)
//   GameObject      = { uint64 tag; uint64 reserved; int32 propStates[8] }
//   gameCallCounts  = { uint64 handleToAddress, getpropstate, setpropstate }

    .intel_syntax noprefix

#if defined(_WIN32)
    .text
#else
    .section gamecode,"ax",@progbits
#endif

    // Spare pages ahead of the functions: a scenario takes read access from
    // the middle one, so a scan must step around it to reach the code.
    .p2align 12
    .globl gameSparePages
gameSparePages:
    .fill 3 * 4096, 1, 0xCC

    .globl gameHandleToAddress
    .globl gameGetPropState
    .globl gameSetPropState

    .p2align 4
gameHandleToAddress:
    cmp ecx, -1                        // 83 F9 FF
    .byte 0x74, 0x31                   // je .LhandleNone (fixed short form)
    mov r9, qword ptr [rip + gameEntityPool]   // 4C 8B 0D disp32
    {load} mov r8d, ecx                       // 44 8B C1
    mov rax, qword ptr [r9 + 8]        // 49 8B 41 08
    inc qword ptr [rip + gameCallCounts]
    mov ecx, dword ptr [r9]
    jmp .LhandleTest
.LhandleNext:
    cmp dword ptr [rax], r8d
    je .LhandleFound
    add rax, 16
    dec ecx
.LhandleTest:
    test ecx, ecx
    jnz .LhandleNext
    xor eax, eax
    ret
.LhandleFound:
    mov rax, qword ptr [rax + 8]
    ret
    .org gameHandleToAddress + 0x36, 0xCC
.LhandleNone:                          // the handle -1 names no entity
    xor eax, eax
    ret

    .p2align 4
gameGetPropState:
    {load} mov r8, rcx                        // 4C 8B C1
    cmp edx, 7                         // 83 FA 07: the last index the object holds
    .byte 0x77, 0x19                   // ja .LgetOutOfRange
    inc qword ptr [rip + gameCallCounts + 8]
    mov eax, edx
    mov eax, dword ptr [r8 + rax * 4 + 16]
    ret
    .org gameGetPropState + 0x21, 0xCC
.LgetOutOfRange:
    xor eax, eax
    ret

    .p2align 4
gameSetPropState:
    {load} mov r9, rcx                        // 4C 8B C9
    cmp edx, 7                         // 83 FA 07
    .byte 0x77, 0x1F                   // ja .LsetOutOfRange
    {load} mov ecx, edx                       // 8B CA
    inc qword ptr [rip + gameCallCounts + 16]
    movzx eax, r8b
    mov dword ptr [r9 + rcx * 4 + 16], eax
    ret
    .org gameSetPropState + 0x27, 0xCC
.LsetOutOfRange:
    xor eax, eax
    ret

    .data
    // A page of the image's writable data: a copy of a signature written
    // there is never searched.
    .p2align 12
    .globl gameSpareDataPage
gameSpareDataPage:
    .fill 4096, 1, 0
    .p2align 3
    .globl gameEntityPool
gameEntityPool:
    .quad gameEmptyPool
    .globl gameEmptyPool
gameEmptyPool:                         // no entities until the game adds some
    .long 0, 0
    .quad 0
    .globl gameCallCounts
gameCallCounts:
    .quad 0, 0, 0

#if !defined(_WIN32)
    .section .note.GNU-stack,"",@progbits
#endif

// The stand-in game's three internal functions, as real machine code whose
// first bytes are exactly the signatures the plug-in scans for. Win64
// calling convention in both builds: arguments in rcx, rdx, r8. The
// {load} prefixes pick the register-move encodings the signatures hold.
//
// Built with NOZZLES_NEXT_VERSION, it is the game's next version, for the
// signature tools' tests of an update: new code ahead of the functions
// moves them all; handleToAddress reads its pool at a new displacement;
// getpropstate gains an instruction, so its old signature breaks; the real
// setpropstate has its registers allocated anew, and a decoy lower in the
// code begins with its old bytes; gameCountLiveEntities stands twice.
//
// Built with NOZZLES_THIRD_VERSION as well, it is the version after that,
// which the tools are never shown: each function's first instruction is
// encoded anew (the same operation, other bytes), so that an entry
// signature made for the next version finds none of them, and a decoy
// begins as the next version's handleToAddress did, so that its entry
// signature finds that decoy alone. The callers and the functions' bodies
// stay as they were: what a set's call and inside signatures find.
//
// Like a real game's, every function has an entry in the exception
// directory (the .seh directives, in the Windows build), and the functions
// have callers: the game's own code that reads and writes prop states.
//
// Data layout shared with game_objects.h:
//   gameEntityPool -> { uint32 count; uint32 pad; GameEntity* entities }
//                     (next version: { uint32 count; uint32 pad; uint64 generation; GameEntity* entities })
//   GameEntity      = { uint32 handle; uint32 pad; GameObject* object }  (16 bytes)
//   GameObject      = { uint64 tag; uint64 reserved; int32 propStates[8] }
//   gameCallCounts  = { uint64 handleToAddress, getpropstate, setpropstate }

    .intel_syntax noprefix

#if defined(_WIN32)
#define BEGIN_FUNCTION(name) .seh_proc name
#define END_PROLOGUE .seh_endprologue
#define END_FUNCTION .seh_endproc
#define PUSHED(register) .seh_pushreg register
#define ALLOCATED(bytes) .seh_stackalloc bytes
#else
#define BEGIN_FUNCTION(name)
#define END_PROLOGUE
#define END_FUNCTION
#define PUSHED(register)
#define ALLOCATED(bytes)
#endif

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
    .globl gameCountLiveEntities

#if defined(NOZZLES_NEXT_VERSION)
#define POOL_ENTITIES 16
#else
#define POOL_ENTITIES 8
#endif

#if defined(NOZZLES_NEXT_VERSION)
    // New in the next version, ahead of the functions: they all move.
    .p2align 4
gameLoadingProgress:
    BEGIN_FUNCTION(gameLoadingProgress)
    END_PROLOGUE
    mov eax, ecx
    imul eax, eax, 100
    xor edx, edx
    test r8d, r8d
    jz .LprogressNone
    div r8d
.LprogressNone:
    ret
    END_FUNCTION

    // Begins as setpropstate did, and is another function: a lookup in a table.
    .p2align 4
gameSetPropStateDecoy:
    BEGIN_FUNCTION(gameSetPropStateDecoy)
    END_PROLOGUE
    {load} mov r9, rcx                        // 4C 8B C9
    cmp edx, 3                         // 83 FA 03
    .byte 0x77, 0x1F                   // ja .LdecoyOutOfRange
    {load} mov ecx, edx                       // 8B CA
    lea rax, qword ptr [rip + gameDecoyTable]
    movzx eax, byte ptr [rax + rcx]
    add rax, r9
    ret
    .org gameSetPropStateDecoy + 0x27, 0xCC
.LdecoyOutOfRange:
    or eax, -1
    ret
    END_FUNCTION
#endif

#if defined(NOZZLES_THIRD_VERSION)
    // Begins as the next version's handleToAddress did, and is another
    // function: it finds no entity, whatever the handle.
    .p2align 4
gameHandleToAddressDecoy:
    BEGIN_FUNCTION(gameHandleToAddressDecoy)
    END_PROLOGUE
    cmp ecx, -1                        // 83 F9 FF
    .byte 0x74, 0x31                   // je .LdecoyNone
    mov r9, qword ptr [rip + gameEntityPool]   // 4C 8B 0D disp32
    {load} mov r8d, ecx                       // 44 8B C1
    mov rax, qword ptr [r9 + POOL_ENTITIES]    // 49 8B 41 10
    xor eax, eax
    ret
    .org gameHandleToAddressDecoy + 0x36, 0xCC
.LdecoyNone:
    xor eax, eax
    ret
    END_FUNCTION
#endif

    .p2align 4
gameHandleToAddress:
    BEGIN_FUNCTION(gameHandleToAddress)
    END_PROLOGUE
#if defined(NOZZLES_THIRD_VERSION)
    .byte 0x81, 0xF9                   // cmp ecx, -1 with a 32-bit immediate
    .long -1
    .byte 0x74, 0x31                   // je .LhandleNone
#else
    cmp ecx, -1                        // 83 F9 FF
    .byte 0x74, 0x31                   // je .LhandleNone (fixed short form)
#endif
    mov r9, qword ptr [rip + gameEntityPool]   // 4C 8B 0D disp32
    {load} mov r8d, ecx                       // 44 8B C1
    mov rax, qword ptr [r9 + POOL_ENTITIES]    // 49 8B 41 08 (10 in the next version)
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
#if defined(NOZZLES_THIRD_VERSION)
    .org gameHandleToAddress + 0x39, 0xCC
#else
    .org gameHandleToAddress + 0x36, 0xCC
#endif
.LhandleNone:                          // the handle -1 names no entity
    xor eax, eax
    ret
    END_FUNCTION

    .p2align 4
gameGetPropState:
    BEGIN_FUNCTION(gameGetPropState)
    END_PROLOGUE
#if defined(NOZZLES_THIRD_VERSION)
    {store} mov r8, rcx                       // 49 89 C8
#else
    {load} mov r8, rcx                        // 4C 8B C1
#endif
#if defined(NOZZLES_NEXT_VERSION)
    xor eax, eax                       // 31 C0: new in the next version
#define GET_OUT_OF_RANGE 0x23
#else
#define GET_OUT_OF_RANGE 0x21
#endif
    cmp edx, 7                         // 83 FA 07: the last index the object holds
    .byte 0x77, 0x19                   // ja .LgetOutOfRange
    inc qword ptr [rip + gameCallCounts + 8]
    mov eax, edx
    mov eax, dword ptr [r8 + rax * 4 + 16]
    ret
    .org gameGetPropState + GET_OUT_OF_RANGE, 0xCC
.LgetOutOfRange:
    xor eax, eax
    ret
    END_FUNCTION

    .p2align 4
#if defined(NOZZLES_NEXT_VERSION)
#define OBJECT r10                     // 4C 8B D1: allocated anew in the next version
#else
#define OBJECT r9                      // 4C 8B C9
#endif
gameSetPropState:
    BEGIN_FUNCTION(gameSetPropState)
    END_PROLOGUE
#if defined(NOZZLES_THIRD_VERSION)
    {store} mov OBJECT, rcx                   // 49 89 CA
#else
    {load} mov OBJECT, rcx
#endif
    cmp edx, 7                         // 83 FA 07
    .byte 0x77, 0x1F                   // ja .LsetOutOfRange
    {load} mov ecx, edx                       // 8B CA
    inc qword ptr [rip + gameCallCounts + 16]
    movzx eax, r8b
    mov dword ptr [OBJECT + rcx * 4 + 16], eax
    ret
    .org gameSetPropState + 0x27, 0xCC
.LsetOutOfRange:
    xor eax, eax
    ret
    END_FUNCTION

    // The game's own code that reads and writes prop states, calling the
    // three functions as the plug-in does: what a call signature finds.
    // Nothing runs them here.
    .p2align 4
gameReadVehicleProp:                   // (handle, index) -> state, or -1 without an object
    BEGIN_FUNCTION(gameReadVehicleProp)
    push rbx
    PUSHED(rbx)
    sub rsp, 0x20
    ALLOCATED(0x20)
    END_PROLOGUE
    mov ebx, edx
    call gameHandleToAddress
    test rax, rax
    jz 1f
    mov rcx, rax
    mov edx, ebx
    call gameGetPropState
    jmp 2f
1:
    or eax, -1
2:
    add rsp, 0x20
    pop rbx
    ret
    END_FUNCTION

    .p2align 4
gameWriteVehicleProp:                  // (handle, index, state)
    BEGIN_FUNCTION(gameWriteVehicleProp)
    push rbx
    PUSHED(rbx)
    push rsi
    PUSHED(rsi)
    sub rsp, 0x28
    ALLOCATED(0x28)
    END_PROLOGUE
    mov ebx, edx
    mov esi, r8d
    call gameHandleToAddress
    test rax, rax
    jz 1f
    mov rcx, rax
    mov edx, ebx
    movzx r8d, sil
    call gameSetPropState
1:
    add rsp, 0x28
    pop rsi
    pop rbx
    ret
    END_FUNCTION

    .p2align 4
gameToggleVehicleProp:                 // (handle, index): the state flipped between 0 and 1
    BEGIN_FUNCTION(gameToggleVehicleProp)
    push rbx
    PUSHED(rbx)
    push rdi
    PUSHED(rdi)
    sub rsp, 0x28
    ALLOCATED(0x28)
    END_PROLOGUE
    mov edi, edx
    call gameHandleToAddress
    test rax, rax
    jz 1f
    mov rbx, rax
    mov rcx, rax
    mov edx, edi
    call gameGetPropState
    xor r8d, r8d
    test eax, eax
    sete r8b
    mov rcx, rbx
    mov edx, edi
    call gameSetPropState
1:
    add rsp, 0x28
    pop rdi
    pop rbx
    ret
    END_FUNCTION

    .p2align 4
gameClearVehicleProps:                 // (handle): every prop state of the entity to 0
    BEGIN_FUNCTION(gameClearVehicleProps)
    push rbx
    PUSHED(rbx)
    push rdi
    PUSHED(rdi)
    sub rsp, 0x28
    ALLOCATED(0x28)
    END_PROLOGUE
    call gameHandleToAddress
    test rax, rax
    jz 2f
    mov rdi, rax
    xor ebx, ebx
1:
    mov rcx, rdi
    mov edx, ebx
    xor r8d, r8d
    call gameSetPropState
    inc ebx
    cmp ebx, 8
    jb 1b
2:
    add rsp, 0x28
    pop rdi
    pop rbx
    ret
    END_FUNCTION

    // How many entities of the pool have a handle: nothing calls it; the
    // signature tools' tests look for it.
    .macro countLiveEntities name
    .p2align 4
\name:
    BEGIN_FUNCTION(\name)
    END_PROLOGUE
    mov r9, qword ptr [rip + gameEntityPool]
    mov ecx, dword ptr [r9]
    mov rdx, qword ptr [r9 + POOL_ENTITIES]
    xor eax, eax
    test ecx, ecx
    jz 2f
1:
    cmp dword ptr [rdx], 0
    setne r8b
    movzx r8d, r8b
    add eax, r8d
    add rdx, 16
    dec ecx
    jnz 1b
2:
    ret
    END_FUNCTION
    .endm
    countLiveEntities gameCountLiveEntities
#if defined(NOZZLES_NEXT_VERSION)
    countLiveEntities gameCountLiveEntitiesAgain    // the same code twice: no build tells the two apart
#endif

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
#if defined(NOZZLES_NEXT_VERSION)
    .quad 0
#endif
    .quad 0
    .globl gameCallCounts
gameCallCounts:
    .quad 0, 0, 0
#if defined(NOZZLES_NEXT_VERSION)
gameDecoyTable:
    .byte 1, 2, 3, 4
#endif


#if !defined(_WIN32)
    .section .note.GNU-stack,"",@progbits
#endif

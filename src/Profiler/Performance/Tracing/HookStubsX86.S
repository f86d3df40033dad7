// Entry stubs for the 32-bit runtime's version-2 hooks (FunctionID, client data, frame
// information, argument or return value information; the tailcall hook has no fourth argument)
// and its old hooks (FunctionID alone). The runtime calls them __stdcall and expects every
// register back as it was, the flags and the floating-point state included. Each stub saves them,
// empties the x87 stack for the target (a leave hook may find the managed return value in st(0)),
// calls the published target (HookTargets, see HookStubs.h) with (context, FunctionID) on a
// 16-byte aligned stack, restores everything and returns removing its arguments. With no targets
// published it calls nothing.
//
// Two variants: FXSAVE (x87, MMX and SSE state) where the processor has it, FNSAVE (x87 only,
// the processor then has no SSE registers) otherwise; HookStubs picks one at start-up.
#if defined(__i386__)

#define TARGET_CONTEXT 0
#define TARGET_ENTER 4
#define TARGET_LEAVE 8
#define TARGET_TAILCALL 12

// Bytes pushed by the stub before its frame: the flags and the eight general registers.
#define REGISTER_SAVE_SIZE 36
// Offset of the first argument from the frame base (past the saved registers and the return
// address).
#define FIRST_ARGUMENT (REGISTER_SAVE_SIZE + 4)
// Room for FXSAVE's 512 bytes (FNSAVE needs 108) and the alignment.
#define STATE_SAVE_SIZE 528

        .text

// HOOK_STUB name, offset of the target in HookTargets, argument bytes removed, 1 for FXSAVE
.macro HOOK_STUB name, target, argumentBytes, fxsave
        .globl \name
        .hidden \name
        .type \name, @function
        .p2align 4
\name:
        .cfi_startproc
        pushfl
        .cfi_adjust_cfa_offset 4
        pushal
        .cfi_adjust_cfa_offset 32
        mov %esp, %ebp
        .cfi_def_cfa_register %ebp
        sub $STATE_SAVE_SIZE, %esp
        and $-16, %esp
        .if \fxsave
        fxsave (%esp)
        // Marks every x87 register empty; the control word stays as it was.
        emms
        .else
        // Saves the x87 state and reinitialises it, which empties the stack.
        fnsave (%esp)
        .endif
        call 1f
1:
        pop %ebx
        addl $_GLOBAL_OFFSET_TABLE_ + (. - 1b), %ebx
        mov g_pHookTargets@GOTOFF(%ebx), %eax
        test %eax, %eax
        jz 2f
        mov FIRST_ARGUMENT(%ebp), %ecx
        sub $8, %esp
        push %ecx
        push TARGET_CONTEXT(%eax)
        call *\target(%eax)
        add $16, %esp
2:
        .if \fxsave
        fxrstor (%esp)
        .else
        frstor (%esp)
        .endif
        mov %ebp, %esp
        .cfi_def_cfa_register %esp
        popal
        .cfi_adjust_cfa_offset -32
        popfl
        .cfi_adjust_cfa_offset -4
        ret $\argumentBytes
        .cfi_endproc
        .size \name, . - \name
.endm

        HOOK_STUB QvEnter2Fx, TARGET_ENTER, 16, 1
        HOOK_STUB QvLeave2Fx, TARGET_LEAVE, 16, 1
        HOOK_STUB QvTailcall2Fx, TARGET_TAILCALL, 12, 1
        HOOK_STUB QvEnterFx, TARGET_ENTER, 4, 1
        HOOK_STUB QvLeaveFx, TARGET_LEAVE, 4, 1
        HOOK_STUB QvTailcallFx, TARGET_TAILCALL, 4, 1
        HOOK_STUB QvEnter2X87, TARGET_ENTER, 16, 0
        HOOK_STUB QvLeave2X87, TARGET_LEAVE, 16, 0
        HOOK_STUB QvTailcall2X87, TARGET_TAILCALL, 12, 0
        HOOK_STUB QvEnterX87, TARGET_ENTER, 4, 0
        HOOK_STUB QvLeaveX87, TARGET_LEAVE, 4, 0
        HOOK_STUB QvTailcallX87, TARGET_TAILCALL, 4, 0

#endif

        .section .note.GNU-stack, "", @progbits

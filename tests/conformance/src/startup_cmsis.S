/* Start-up code in the shape of the CMSIS templates: the stack and heap as sections of their
   own (.stack, .heap), placed by the script's (COPY) dummies, and a vector table. */
    .syntax unified
    .arch armv7e-m
    .section .stack
    .align 3
    .space 0x400
    .section .heap
    .align 3
    .space 0xC00
    .section .vectors, "a"
    .align 2
    .globl __Vectors
__Vectors:
    .long __StackTop
    .long Reset_Handler
    .long Default_Handler
    .long HardFaultTrampoline
    .text
    .thumb
    .thumb_func
    .globl Reset_Handler
    .type Reset_Handler, %function
Reset_Handler:
    ldr r0, =__etext
    bl main
    b .
    .size Reset_Handler, . - Reset_Handler
    .thumb_func
    .weak Default_Handler
    .type Default_Handler, %function
Default_Handler:
    b .
    .size Default_Handler, . - Default_Handler
/* A handler in a section of its own whose name says nothing of code, last in it, as
   cortex-m-rt places its HardFaultTrampoline. */
    .section .HardFaultTrampoline, "ax"
    .thumb_func
    .globl HardFaultTrampoline
    .type HardFaultTrampoline, %function
HardFaultTrampoline:
    mrs r0, msp
    b Default_Handler
    .size HardFaultTrampoline, . - HardFaultTrampoline

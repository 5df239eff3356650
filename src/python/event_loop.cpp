// The bridge to asyncio. A coroutine can only be made by Python code, so the three coroutine
// functions are a few lines of Python compiled once, the first time a program uses one; all
// they do is await what the native side hands them.
#include "python/event_loop.hpp"

#include <string_view>
#include <utility>
#include <vector>

#include "python/classes.hpp"
#include "python/module_state.hpp"

namespace velto::python {

namespace {

// The qualified names make the coroutines read as the methods they stand for, in a repr and
// in a "coroutine ... was never awaited" warning.
constexpr const char* coroutine_source = R"(
class ComSocketServer:
    async def open_async(begin):
        return await begin()

    async def wait_disconnected_async(begin):
        return await begin()

async def run_action(awaitable):
    return await awaitable
)";

// The three functions in LoopCoroutine order, made once and kept for the process.
Result<PyObject*, OperationError> coroutine_functions() {
    ModuleState& state = module_state();
    if (state.event_loop_glue != nullptr) return state.event_loop_glue;
    VELTO_TRY(Ref code, owned(Py_CompileString(coroutine_source, "<velto_protocol>",
                                               Py_file_input)));
    VELTO_TRY(Ref globals, owned(PyDict_New()));
    if (PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins()) != 0) {
        return fail(pending_error());
    }
    VELTO_TRY(Ref name, owned(PyUnicode_FromString("velto_protocol")));
    if (PyDict_SetItemString(globals.get(), "__name__", name.get()) != 0) {
        return fail(pending_error());
    }
    VELTO_TRY(Ref ran, owned(PyEval_EvalCode(code.get(), globals.get(), globals.get())));
    PyObject* server = PyDict_GetItemString(globals.get(), "ComSocketServer");
    PyObject* action = PyDict_GetItemString(globals.get(), "run_action");
    if (server == nullptr || action == nullptr) {
        return fail(runtime_error("the coroutine functions could not be made"));
    }
    VELTO_TRY(Ref open, owned(PyObject_GetAttrString(server, "open_async")));
    VELTO_TRY(Ref wait, owned(PyObject_GetAttrString(server, "wait_disconnected_async")));
    VELTO_TRY(Ref functions, owned(PyTuple_Pack(3, open.get(), wait.get(), action)));
    // Python code ran above: if it made the namespace meanwhile, the first one stays.
    if (state.event_loop_glue == nullptr) state.event_loop_glue = functions.release();
    return state.event_loop_glue;
}

constexpr const char* native_call_capsule = "velto_protocol.native_call";

void destroy_native_call(PyObject* capsule) {
    delete static_cast<NativeCall*>(PyCapsule_GetPointer(capsule, native_call_capsule));
}

PyObject* run_native_call(PyObject* capsule, PyObject* const* args, Py_ssize_t nargs) {
    return object_entry([&]() -> ObjectResult {
        auto* body = static_cast<NativeCall*>(PyCapsule_GetPointer(capsule, native_call_capsule));
        if (body == nullptr) return fail(pending_error());
        return (*body)(std::span<PyObject* const>(args, static_cast<std::size_t>(nargs)));
    });
}

PyMethodDef native_call_definition = {"velto_protocol_step", method(run_native_call),
                                      METH_FASTCALL, nullptr};

}  // namespace

ObjectResult running_event_loop() {
    VELTO_TRY(Ref name, owned(PyUnicode_FromString("asyncio")));
    // A new reference, or null without an exception when the module was never imported.
    Ref asyncio = steal(PyImport_GetModule(name.get()));
    if (!asyncio) {
        if (PyErr_Occurred()) return fail(pending_error());
        return Ref();
    }
    VELTO_TRY(Ref loop, call_method(asyncio.get(), "_get_running_loop", {}));
    if (loop.get() == Py_None) return Ref();
    return loop;
}

bool is_coroutine_function(PyObject* action) noexcept {
    Ref inner = borrow(action);
    // Bounded: a partial of a partial of ... is still unwrapped, a cycle is not followed forever.
    for (int depth = 0; depth < 32; ++depth) {
        PyObject* object = inner.get();
        if (PyMethod_Check(object)) {
            inner = borrow(PyMethod_GET_FUNCTION(object));
            continue;
        }
        if (std::string_view(Py_TYPE(object)->tp_name) == "functools.partial") {
            Ref function = steal(PyObject_GetAttrString(object, "func"));
            if (!function) {
                PyErr_Clear();
                return false;
            }
            inner = std::move(function);
            continue;
        }
        if (!PyFunction_Check(object)) return false;
        const auto* code = reinterpret_cast<PyCodeObject*>(PyFunction_GET_CODE(object));
        return (code->co_flags & CO_COROUTINE) != 0;
    }
    return false;
}

void close_awaitable(PyObject* awaitable) noexcept {
    Ref close = steal(PyObject_GetAttrString(awaitable, "close"));
    if (close) {
        Ref closed = steal(PyObject_CallNoArgs(close.get()));
        if (closed) return;
    }
    PyErr_Clear();
}

ObjectResult loop_coroutine(LoopCoroutine which, PyObject* argument) {
    VELTO_TRY(PyObject * functions, coroutine_functions());
    PyObject* function = PyTuple_GET_ITEM(functions, static_cast<Py_ssize_t>(which));
    return owned(PyObject_CallOneArg(function, argument));
}

ObjectResult native_callable(NativeCall body) {
    auto* held = new NativeCall(std::move(body));
    Ref capsule = steal(PyCapsule_New(held, native_call_capsule, destroy_native_call));
    if (!capsule) {
        delete held;
        return fail(pending_error());
    }
    return owned(PyCFunction_New(&native_call_definition, capsule.get()));
}

ObjectResult call_method(PyObject* object, const char* name,
                         std::initializer_list<PyObject*> arguments) {
    VELTO_TRY(Ref method_name, owned(PyUnicode_InternFromString(name)));
    std::vector<PyObject*> call;
    call.reserve(arguments.size() + 1);
    call.push_back(object);
    call.insert(call.end(), arguments.begin(), arguments.end());
    return owned(PyObject_VectorcallMethod(method_name.get(), call.data(),
                                           call.size(), nullptr));
}

}  // namespace velto::python

function restore = calvenor_pin_path()
%CALVENOR_PIN_PATH Make the search path safe for a change of folder.
%   RESTORE = CALVENOR_PIN_PATH() replaces every relative entry of the search
%   path by the absolute folder it names in the current folder, and returns
%   an object that, once cleared, brings back the current folder and the
%   search path exactly as they were. Octave keeps an entry such as
%   addpath('build') as typed: after a change of folder it would name
%   another folder or none, with a warning from every lookup, and the
%   functions in it would be lost.
    folder = pwd();
    saved = path();
    entries = strsplit(saved, pathsep());
    for k = 1:numel(entries)
        e = entries{k};
        if ~isempty(e) && ~strcmp(e, '.') && ~isAbsolute(e)
            entries{k} = fullfile(folder, e);
        end
    end
    pinned = strjoin(entries, pathsep());
    if ~strcmp(pinned, saved)
        path(pinned);
    end
    restore = onCleanup(@() leave(folder, saved, pinned));
end

function yes = isAbsolute(name)
    yes = any(name(1) == '/\') || (numel(name) > 1 && name(2) == ':');
end

function leave(folder, saved, pinned)
    cd(folder);
    if ~strcmp(saved, pinned)
        path(saved);
    end
end
